"""portlink against a real gateway (miniupnpd in namespaces): discovery, a TCP mapping that
really forwards from the WAN side, its removal, refused mappings, an unload of the library
while its discovery thread runs, and a mapping from a host with a second adapter: a VPN whose
default route is preferred, or an adapter without a gateway that holds the preferred multicast
route."""
import re
import subprocess
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


# Run in the LAN host's namespace: prints "<link> <source address> <source port>" for every
# datagram that leaves the host for the SSDP group, on any link, until it is ended (at most
# 180 s).
_SEARCH_CAPTURE = r"""
import socket, struct, time
# Outgoing frames reach only taps of every protocol (ETH_P_ALL).
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
s.settimeout(1)
print("ready", flush=True)
deadline = time.monotonic() + 180
while time.monotonic() < deadline:
    try:
        frame, address = s.recvfrom(65535)
    except socket.timeout:
        continue
    ip = frame[14:]
    if (address[2] != socket.PACKET_OUTGOING or frame[12:14] != b"\x08\x00" or len(ip) < 28
            or ip[9] != 17):
        continue
    header = (ip[0] & 15) * 4
    port = struct.unpack_from("!H", ip, header + 2)[0]
    if socket.inet_ntoa(ip[16:20]) == "239.255.255.250" and port == 1900:
        print(address[0], socket.inet_ntoa(ip[12:16]),
              struct.unpack_from("!H", ip, header)[0], flush=True)
"""


class SecondAdapterHost(GatewayHost):
    """A LAN host with a second adapter that wins the multicast route: the search must still
    reach the gateway, and the mapping must forward from the WAN side."""

    def searches_out_of(self):
        """Runs the search and the mapping under a capture of the LAN host's links; returns
        the (link, source address) of every search datagram, in order."""
        capture = self.lan.net.lan.popen(["python3", "-u", "-c", _SEARCH_CAPTURE],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                         stderr=subprocess.DEVNULL, text=True)
        try:
            self.assertEqual(capture.stdout.readline().strip(), "ready")
            answers = self.host("startSearch()", "wait-search(20000)", "isSearchSucces()",
                                f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)")
            self.assertEqual(answers, ["true", "true", "true", "true"], self.gateway.log())
        finally:
            capture.terminate()
            out, _ = capture.communicate(timeout=10)
        seen = []
        for line in out.splitlines():
            link, source, port = line.split()
            self.assertEqual(port, "27655", out)
            seen.append((link, source))
        return seen

    def assert_mapped_and_removed(self):
        def mapped():
            return self.gateway.has_mapping("tcp", WAN_PORT, netns.Lan.LAN_HOST, LAN_PORT)

        self.assertTrue(mapped(), self.gateway.mapping_rules())
        self.assertTrue(self.gateway.reach("tcp", WAN_PORT), "mapping does not forward")
        answers = self.host("startSearch()", "wait-search(20000)",
                            f"removeNATPortMapping({WAN_PORT},1)")
        self.assertEqual(answers, ["true", "true", "true"], self.gateway.log())
        self.assertFalse(mapped(), self.gateway.mapping_rules())


class SideAdapterHoldsMulticastRoute(SecondAdapterHost, unittest.TestCase):
    """The second adapter has no gateway: the search goes out of the LAN adapter alone, by
    its address, although the routes would send it out of the other one."""
    GATEWAY_OPTIONS = {"side": True}

    def test_search_leaves_by_the_lan_adapter_and_maps(self):
        seen = self.searches_out_of()
        net = self.lan.net
        # One batch (the gateway answers it at once): three targets, all out of the LAN.
        self.assertEqual(seen, [(net.lan_if, net.LAN_HOST)] * 3, seen)
        self.assert_mapped_and_removed()


class VpnHoldsMulticastRoute(SecondAdapterHost, unittest.TestCase):
    """Each adapter's multicast route carries its metric, so the VPN's preferred one wins
    it: the search goes out of both adapters that have a gateway, each by its own address,
    and the LAN's gateway, the only one that answers, is found."""
    VPN = True
    GATEWAY_OPTIONS = {"multicast_by_metric": True}

    def test_search_leaves_by_both_adapters_and_maps(self):
        seen = self.searches_out_of()
        net = self.lan.net
        self.assertEqual(sorted(set(seen)), sorted({(net.lan_if, net.LAN_HOST),
                                                    (net.vpn_if, net.VPN_HOST)}), seen)
        # Each batch: the preferred adapter's three, then the LAN's three.
        self.assertEqual(len(seen) % 6, 0, seen)
        self.assertEqual(seen[:6], [(net.vpn_if, net.VPN_HOST)] * 3 +
                         [(net.lan_if, net.LAN_HOST)] * 3, seen)
        self.assert_mapped_and_removed()


if __name__ == "__main__":
    unittest.main()
