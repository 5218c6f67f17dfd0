"""Behind two routers whose outer one names another host (testbed/two_routers.py, the outer
router scripted): once the add has answered, portlink asks only the router beyond its gateway.
A search answer whose LOCATION lies elsewhere, and a connection service whose control URL
lies elsewhere, are passed over before anything is sent there: nothing connects to the
provider's side, where such a URL points, and nothing leaves the inner router's WAN link but
towards the outer router and the probe that found it.  The add answers true all the same."""
import time
import unittest

from testbed import fakegw
from testbed.netns import TwoRouterLan
from tests.wine.portlink_fixture import answer_search, serve
from tests.wine.test_portlink_double_nat import ADD, REMOVE, SEARCH, DoubleNatHost

R = TwoRouterLan.OUTER_LAN
ELSEWHERE = f"http://{TwoRouterLan.ISP}:5000"
# The whole try at the outer router (echo, searches, description or PCP) ends within about
# 4 s of the add.
WATCHED_MS = 6000


def description_at_r(*services):
    """Port 5000 of R: the description to every GET, success to the mapping actions."""
    return {"5000": {"answers": serve(fakegw.http_answer(fakegw.description(
        services=services[:1], second_services=list(services[1:]) or None))), "actions": {
            "AddPortMapping": serve(fakegw.soap_answer()),
            "DeletePortMapping": serve(fakegw.soap_answer("DeletePortMapping")),
            "GetStatusInfo": serve(fakegw.status_info_answer())}}}


# What the provider's side serves: a description whose service is there too, so that a
# client that followed a URL there would go on to its control requests.
PROVIDER = {"5000": {"answers": serve(fakegw.http_answer(fakegw.description(
    services=[fakegw.service_xml(fakegw.WAN_IP, f"{ELSEWHERE}/ctl")]))),
    "actions": {"GetStatusInfo": serve(fakegw.status_info_answer()),
                "AddPortMapping": serve(fakegw.soap_answer())}}}

# name, the outer router's scenario, what portlink asks R instead: PCP (the UPnP answer passed
# over, and nothing asked of R's HTTP port) or a SOAP action of the service on R
ROWS = [
    ("search answer with a LOCATION elsewhere",
     {"ssdp": answer_search(fakegw.ssdp_answer(location=f"{ELSEWHERE}/rootDesc.xml")),
      "http": description_at_r(fakegw.service_xml(fakegw.WAN_IP, "/ctl/IPConn")),
      "pcp": None},
     "PCP"),
    ("description on R, its first service's control URL elsewhere",
     {"ssdp": answer_search(fakegw.ssdp_answer(location=f"http://{R}:5000/rootDesc.xml")),
      "http": description_at_r(fakegw.service_xml(fakegw.WAN_IP, f"{ELSEWHERE}/ctl"),
                               fakegw.service_xml(fakegw.WAN_IP, "/ctl/IPConn")),
      "pcp": None},
     "AddPortMapping"),
]
ALLOWED = {(R, "udp"), (R, "tcp"), (TwoRouterLan.PROBE, "icmp")}


def summary(added, upstream, played):
    """One line: the first packet of each kind upstream (seconds after the add), and what R
    got."""
    first = {}
    for p in upstream:
        first.setdefault((p["proto"], p["dst"], p.get("dport", p.get("type"))), p["t"] - added)
    return (", ".join(f"{t:+.2f} s {proto} {dst}:{port}" for (proto, dst, port), t in
                      first.items())
            + f"; R got HTTP {[c['action'] or c['data'][:20] for c in played.outer['tcp']]}"
            + f", {len(played.outer['pcp'])} PCP datagrams")


class HostileOuterRouter(DoubleNatHost, unittest.TestCase):
    LAB = {"outer": "scripted"}

    def test_nothing_goes_where_the_outer_router_points_elsewhere(self):
        for name, scenario, instead in ROWS:
            with self.subTest(name):
                began = time.monotonic()
                with self.lab.scripted_outer(scenario, PROVIDER) as played, \
                        self.live(*SEARCH, ADD, f"sleep({WATCHED_MS})", REMOVE) as host:
                    added = self.added(host)
                    self.assertEqual(host.next(), "true")
                upstream = self.lab.watch.packets(since=began)
                print(f"\n{name}: {summary(added, upstream, played)}")
                self.assertEqual(played.provider["tcp"], [], played.provider)
                self.assertEqual({(p["dst"], p["proto"]) for p in upstream} - ALLOWED, set(),
                                 upstream)
                actions = [c["action"] for c in played.outer["tcp"]]
                if instead == "PCP":
                    self.assertTrue(played.outer["pcp"], played.outer)
                    self.assertEqual(actions, [], played.outer)
                else:
                    self.assertIn(instead, actions, played.outer)


if __name__ == "__main__":
    unittest.main()
