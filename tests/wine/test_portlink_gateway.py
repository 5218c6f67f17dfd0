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


if __name__ == "__main__":
    unittest.main()
