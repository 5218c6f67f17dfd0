"""The same port over IPv6, on the real gateway: after an IPv4 mapping, an inbound pinhole for
the host's stable global address (by UPnP where the description offers a firewall service, by
PCP where it does not), closed before the remove answers, and kept while any mapping still
names its internal port; nothing over IPv6 where no IPv6 gateway can be found (UPnP off:
under Wine no IPv6 route is seen), where the host has no global IPv6 address, or after a
finalizer called while the search ran (nothing left listening, and the library unloads)."""
import subprocess
import time
import unittest

from testbed import netns
from tests.wine.portlink_gateway_flow import LAN_PORT, WAN_PORT, GatewayHost, until

HOST6 = netns.Lan.LAN_HOST6
SEARCH = ["startSearch()", "wait-search(25000)", "isSearchSucces()"]
CONTROL_PORT = 9

# Run in the gw namespace on its LAN veth: prints "PROTO SOURCE DESTINATION PORT" for each IPv6
# TCP or UDP packet that came in from the LAN (ICMPv6, MLD and neighbour discovery have other
# next headers), and ends at the test's own UDP datagram to CONTROL_PORT, which proves the
# capture saw the link until then.
_CAPTURE = r"""
import socket, struct, sys
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x86DD))
s.bind((sys.argv[1], 0))
s.settimeout(120)
print("ready", flush=True)
while True:
    frame, address = s.recvfrom(65535)
    ip = frame[14:]
    if address[2] == socket.PACKET_OUTGOING or len(ip) < 44 or ip[6] not in (6, 17):
        continue
    port = struct.unpack_from("!H", ip, 42)[0]
    if ip[6] == 17 and port == int(sys.argv[2]):
        print("end", flush=True)
        break
    print({6: "tcp", 17: "udp"}[ip[6]], socket.inet_ntop(socket.AF_INET6, ip[8:24]),
          socket.inet_ntop(socket.AF_INET6, ip[24:40]), port, flush=True)
"""

_CONTROL = r"""
import socket, sys
socket.socket(socket.AF_INET6, socket.SOCK_DGRAM).sendto(b"end", (sys.argv[1], int(sys.argv[2])))
"""


class PinholeHost(GatewayHost):
    GATEWAY_OPTIONS = {"ipv6": True, "natpmp": True}

    def pinhole_makers(self):
        """"UPnP" or "PCP" for each pinhole, from the label the daemon keeps in its rule."""
        out = self.lan.net.gw.run(["nft", "--debug=netlink", "list", "chain", "inet",
                                   "filter", "miniupnpd"]).stdout
        return sorted("PCP" if "PCP MAP" in line else "UPnP" for line in out.splitlines()
                      if line.strip().startswith("userdata") and "pinhole-" in line)

    def evidence(self, host=None):
        lines = [line for line in self.gateway.log().splitlines()
                 if "pinhole" in line.lower() or "PCP" in line]
        return (f"answers {host.answers if host else None}, pinholes "
                f"{self.gateway.pinholes()}, log:\n" + "\n".join(lines[-40:]))

    def flow(self, selector, sleep):
        return self.live(*SEARCH, f"addNATPortMapping({LAN_PORT},{WAN_PORT},{selector})",
                         f"sleep({sleep})", f"removeNATPortMapping({WAN_PORT},{selector})")


class Ipv6Capture:
    """What the host sends over IPv6, seen on the gateway's LAN veth."""

    def capture(self):
        process = self.lan.net.gw.popen(
            ["python3", "-u", "-c", _CAPTURE, self.lan.net.gw_lan_if, str(CONTROL_PORT)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        for cleanup in (process.stdout.close, process.wait, process.kill):
            self.addCleanup(cleanup)
        self.assertEqual(process.stdout.readline().strip(), "ready")
        return process

    def seen(self, capture):
        self.lan.net.lan.run(["python3", "-c", _CONTROL, f"ff02::1%{self.lan.net.lan_if}",
                              str(CONTROL_PORT)])
        try:
            out, _ = capture.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            capture.kill()
            out, _ = capture.communicate()
        *seen, last = out.splitlines() or [""]
        self.assertEqual(last, "end", f"the capture missed the control datagram: {out}")
        return seen


class PinholeFlow(PinholeHost):
    MADE_BY = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        try:
            cls.gateway.listen("udp", LAN_PORT)  # the tcp one is GatewayHost's
            for kind in ("tcp", "udp"):
                for port in (LAN_PORT, LAN_PORT + 1):
                    cls.gateway.listen(kind, port, address=HOST6)
        except Exception:
            cls.tearDownClass()
            raise

    def test_the_mapped_port_is_open_over_ipv6_until_the_remove(self):
        for kind, selector in (("tcp", 1), ("udp", 0)):
            with self.subTest(kind), self.flow(selector, 6000) as host:
                self.assertEqual([host.next() for _ in range(4)], ["true"] * 4,
                                 self.evidence(host))
                wanted = [(kind, HOST6, LAN_PORT)]
                self.assertTrue(until(lambda: self.gateway.pinholes() == wanted, 4.0),
                                self.evidence(host))
                self.assertEqual(self.pinhole_makers(), [self.MADE_BY], self.evidence(host))
                self.assertEqual(self.gateway.mapping_made_by(kind, WAN_PORT), "UPnP")
                self.assertTrue(self.gateway.reach(kind, WAN_PORT), "IPv4 mapping not forwarding")
                self.assertTrue(self.gateway.reach6(kind, HOST6, LAN_PORT), self.evidence(host))
                self.assertFalse(self.gateway.reach6(kind, HOST6, LAN_PORT + 1, wait=1.0),
                                 "a port without a pinhole is open from the WAN")
                self.assertEqual(host.next(), "true", self.evidence(host))
                # Closed before the remove answered.
                self.assertEqual(self.gateway.pinholes(), [], self.evidence(host))
                self.assertFalse(self.gateway.reach6(kind, HOST6, LAN_PORT, wait=1.0))
                self.assertFalse(self.gateway.reach(kind, WAN_PORT, wait=1.0))


class UpnpPinholes(Ipv6Capture, PinholeFlow, unittest.TestCase):
    MADE_BY = "UPnP"

    def test_a_pinhole_stays_while_a_mapping_names_its_internal_port(self):
        def add(internal, external):
            return f"addNATPortMapping({internal},{external},1)"

        def remove(external):
            return f"removeNATPortMapping({external},1)"

        def holes(*ports):
            return [("tcp", HOST6, port) for port in ports]

        # The host's sleeps leave time for the checks between its answers.
        steps = [add(LAN_PORT, WAN_PORT), add(LAN_PORT, WAN_PORT + 1), "sleep(4000)",
                 remove(WAN_PORT + 1), "sleep(4000)", remove(WAN_PORT), "sleep(3000)",
                 add(7000, 6000), add(7001, 6000), "sleep(3500)", remove(6000), "sleep(3000)"]
        with self.live(*SEARCH, *steps) as host:
            self.assertEqual([host.next() for _ in range(5)], ["true"] * 5, self.evidence(host))
            self.assertTrue(until(lambda: self.gateway.pinholes() == holes(LAN_PORT), 3.5),
                            self.evidence(host))
            # Two external ports to one internal port: removing one leaves the port open.
            self.assertEqual(host.next(), "true", self.evidence(host))
            time.sleep(1.0)
            self.assertEqual(self.gateway.pinholes(), holes(LAN_PORT), self.evidence(host))
            self.assertTrue(self.gateway.reach6("tcp", HOST6, LAN_PORT), self.evidence(host))
            self.assertEqual(host.next(), "true", self.evidence(host))
            self.assertTrue(until(lambda: self.gateway.pinholes() == [], 2.5),
                            self.evidence(host))
            # The same external port again, to another internal port: the pinhole follows it.
            self.assertEqual([host.next() for _ in range(2)], ["true"] * 2, self.evidence(host))
            self.assertTrue(until(lambda: self.gateway.pinholes() == holes(7001), 3.0),
                            self.evidence(host))
            self.assertEqual(host.next(), "true", self.evidence(host))
            self.assertTrue(until(lambda: self.gateway.pinholes() == [], 2.5),
                            self.evidence(host))

    def test_the_finalizer_during_the_search_leaves_nothing_running(self):
        capture = self.capture()
        with self.live("isSearchEnd()", "sleep(1000)", "startSearch()", "unload",
                       "sleep(8000)") as host:
            self.assertEqual(host.next(), "false")
            # The check below sees the library while it is loaded.
            self.assertTrue(self.portlink_mapped(host.process.pid))
            self.assertEqual([host.next() for _ in range(2)], ["true", "unloaded"])
            time.sleep(4.0)  # the search ends within about a second of its start
            bound = self.udp_ports() & {1900, 5350}
            loaded = self.portlink_mapped(host.process.pid)
        searches = [line for line in self.seen(capture) if line.endswith(" 1900")]
        self.assertEqual({"listening on": bound, "searches over IPv6": searches,
                          "still loaded": loaded},
                         {"listening on": set(), "searches over IPv6": [],
                          "still loaded": False})

    def udp_ports(self):
        """The local ports of every UDP socket of the lan namespace (only the host's process
        opens any there)."""
        out = self.lan.net.lan.run(["cat", "/proc/net/udp", "/proc/net/udp6"]).stdout
        return {int(line.split()[1].rsplit(":", 1)[1], 16) for line in out.splitlines()
                if line.split() and line.split()[0].endswith(":")}

    @staticmethod
    def portlink_mapped(pid):
        """True when the process or one of its children has the library mapped."""
        children = [pid]
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            children += [int(word) for word in f.read().split()]
        for process in children:
            try:
                with open(f"/proc/{process}/maps") as f:
                    if "portlink.dll" in f.read().lower():
                        return True
            except FileNotFoundError:
                pass
        return False


class PcpPinholesBesideAnIgdV1Description(PinholeFlow, unittest.TestCase):
    # The version-1 description has no firewall service.
    IGD_V1 = True
    MADE_BY = "PCP"


class NothingOverIpv6(Ipv6Capture, PinholeHost):

    def test_the_ipv4_mapping_alone_and_nothing_over_ipv6(self):
        capture = self.capture()
        with self.flow(1, 3000) as host:
            self.assertEqual([host.next() for _ in range(4)], ["true"] * 4, self.evidence(host))
            self.assertTrue(self.gateway.reach("tcp", WAN_PORT), "IPv4 mapping not forwarding")
            time.sleep(2.0)  # a pinhole shows within about 0.5 s where one is made
            self.assertEqual(self.gateway.pinholes(), [], self.evidence(host))
            self.assertEqual(host.next(), "true", self.evidence(host))
        self.assertEqual(self.seen(capture), [], self.evidence(host))


class NothingOverIpv6WithUpnpOff(NothingOverIpv6, unittest.TestCase):
    # Under Wine no IPv6 route is seen, and without UPnP no search is answered.
    GATEWAY_OPTIONS = {"ipv6": True, "upnp": False, "natpmp": True}


class NothingOverIpv6FromAHostWithoutAGlobalAddress(NothingOverIpv6, unittest.TestCase):
    GATEWAY_OPTIONS = {"natpmp": True}

    def test_the_host_has_link_local_ipv6_only(self):
        out = self.lan.net.lan.run(["ip", "-6", "-o", "addr", "show", "dev",
                                    self.lan.net.lan_if]).stdout
        words = out.split()
        self.assertEqual([words[i + 1][:5] for i, word in enumerate(words) if word == "inet6"],
                         ["fe80:"], out)


if __name__ == "__main__":
    unittest.main()
