"""portlink against a real gateway (miniupnpd in namespaces): discovery, a TCP mapping that
really forwards from the WAN side, its removal, refused mappings, an unload of the library
while its discovery thread runs, and a mapping from a host with a second (VPN) adapter."""
import re
import unittest

from testbed import netns
from tests.wine.portlink_gateway_flow import LAN_PORT, WAN_PORT, GatewayHost, MappingFlow


class TcpGateway(MappingFlow, unittest.TestCase):
    KIND = "tcp"
    SELECTOR = 1

    def test_unload_during_search(self):
        fetched = len(re.findall(r"GET /rootDesc\.xml", self.gateway.log()))
        # The library is unloaded at once: the finalizers end the search at its next step, so
        # it reads no description, and the thread's own reference keeps the code loaded until
        # it has left, without bringing the host down.
        answers = self.host("startSearch()", "unload", "sleep(3000)")
        self.assertEqual(answers, ["true", "unloaded"])
        self.assertEqual(len(re.findall(r"GET /rootDesc\.xml", self.gateway.log())), fetched)


class MultiHomedTcpGateway(GatewayHost, unittest.TestCase):
    """The host also sits on a VPN whose default route is preferred, so its own address list
    starts with the VPN address; the gateway maps only to its LAN, and the mapping must name
    the address the host has there."""
    VPN = True

    def test_mapping_names_the_lan_address_not_the_first_one(self):
        def mapped():
            return self.gateway.has_mapping("tcp", WAN_PORT, netns.Lan.LAN_HOST, LAN_PORT)

        answers = self.host("getLocalIP()", "isLANIP()", "startSearch()", "wait-search(20000)",
                            "isSearchSucces()", f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)")
        self.assertEqual(answers, [netns.Lan.VPN_HOST, "true", "true", "true", "true", "true"],
                         self.gateway.log())
        self.assertTrue(mapped(), self.gateway.mapping_rules())
        self.assertTrue(self.gateway.reach("tcp", WAN_PORT), "mapping does not forward")

        answers = self.host("startSearch()", "wait-search(20000)",
                            f"removeNATPortMapping({WAN_PORT},1)")
        self.assertEqual(answers, ["true", "true", "true"], self.gateway.log())
        self.assertFalse(mapped(), self.gateway.mapping_rules())
        self.assertFalse(self.gateway.reach("tcp", WAN_PORT), "still forwarded")


class SharedLanGateway(GatewayHost, unittest.TestCase):
    """A gateway that lets any LAN host delete any mapping (secure mode off, as many routers
    ship), where another machine of the LAN holds external port 81: a remove of 81 must leave
    that machine's mapping alone, while this host's own mapping is removed as before."""
    GATEWAY_OPTIONS = {"secure": False}
    OTHER = "192.168.77.21"

    def test_a_remove_never_deletes_another_machines_mapping(self):
        lan = self.lan.net
        lan.lan.run(["ip", "addr", "add", self.OTHER + "/24", "dev", lan.lan_if])
        lan.lan.run(["upnpc", "-u", f"http://{lan.gateway_lan_address}:5000/rootDesc.xml",
                     "-a", self.OTHER, "8081", "81", "TCP"], timeout=20)
        self.assertTrue(self.gateway.has_mapping("tcp", 81, self.OTHER, 8081),
                        self.gateway.mapping_rules())
        answers = self.host("startSearch()", "wait-search(20000)",
                            f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)",
                            "removeNATPortMapping(81,1)", "removeNATPortMapping(82,1)",
                            f"removeNATPortMapping({WAN_PORT},1)")
        # Ours goes as before; another machine's entry, and no entry at all, answer false.
        self.assertEqual(answers, ["true", "true", "true", "false", "false", "true"],
                         self.gateway.log()[-3000:])
        self.assertTrue(self.gateway.has_mapping("tcp", 81, self.OTHER, 8081),
                        self.gateway.mapping_rules())
        self.assertFalse(self.gateway.has_mapping("tcp", WAN_PORT, netns.Lan.LAN_HOST, LAN_PORT),
                         self.gateway.mapping_rules())
        # A mapping of this host from an earlier run is still removed: asked about, then
        # deleted.
        self.assertEqual(self.host("startSearch()", "wait-search(20000)",
                                   f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)"),
                         ["true"] * 3)
        answers = self.host("startSearch()", "wait-search(20000)",
                            f"removeNATPortMapping({WAN_PORT},1)")
        self.assertEqual(answers, ["true", "true", "true"], self.gateway.log()[-3000:])
        self.assertFalse(self.gateway.has_mapping("tcp", WAN_PORT, netns.Lan.LAN_HOST, LAN_PORT),
                         self.gateway.mapping_rules())


if __name__ == "__main__":
    unittest.main()
