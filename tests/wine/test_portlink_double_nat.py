"""Behind two routers (testbed/two_routers.py): the scripted inner router is the LAN's gateway
and maps; once the add has answered, portlink maps the same external port at the outer router
too (towards the inner router's WAN address), so the port is reachable from the provider's
side through both.  Cases: the outer router is the real daemon (forwarded end to end within
5 s of the add, both mappings gone after the remove), a plain NAT (the add still answers at
once; what goes upstream in about a minute stays within its bound), the daemon restarting
(the second mapping back within 125 s), and an inner router that reports a public address
(nothing goes upstream at all)."""
import time
import unittest

from testbed import fakepcp, winebox
from testbed.inner_router import header
from testbed.netns import TwoRouterLan
from testbed.two_routers import TwoRouterLab
from testbed.upstream_watch import ICMP_ECHO, most_in_window
from tests.wine.portlink_fixture import SEARCH_ORDER
from tests.wine.portlink_gateway_flow import LAN_PORT, WAN_PORT, LiveHost, until
from tests.wine.portlink_host import portlink_dll

SEARCH = ["startSearch()", "wait-search(25000)", "isSearchSucces()"]
ADD = f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)"
REMOVE = f"removeNATPortMapping({WAN_PORT},1)"
R = TwoRouterLan.OUTER_LAN
# The add's own call, by the host's clock: one exchange with the inner router takes about
# 0.5 s; a wait for anything at the outer router would take seconds.
ADD_BOUND_MS = 1500
FORWARDED_BOUND_S = 5.0
RESTART_BOUND_S = 125.0
# Datagrams and ICMP echoes towards the outer router, in any minute.
UPSTREAM_PER_MINUTE = 12
WATCHED_S = 65


class DoubleNatHost:
    LAB = {}  # options of the TwoRouterLab

    @classmethod
    def setUpClass(cls):
        cls.lab = TwoRouterLab(**cls.LAB)
        try:
            cls.box = winebox.WineBox(cls.lab.net.lan)
            cls.dll = portlink_dll(cls.box)
            cls.lab.listen("tcp", LAN_PORT)
        except BaseException:
            cls.lab.close()
            raise

    @classmethod
    def tearDownClass(cls):
        try:
            cls.box.close()
        finally:
            cls.lab.close()

    def live(self, *commands, bound=180):
        return LiveHost(self.box, self.dll, commands, bound)

    def added(self, host):
        """Reads the search's and the add's answers: all true, the add's own call within
        ADD_BOUND_MS, the inner router's mapping made.  Returns when the add answered
        (monotonic)."""
        self.assertEqual([host.next() for _ in range(len(SEARCH) + 1)], ["true"] * 4,
                         self.lab.inner.events())
        answered = time.monotonic()
        self.assertLess(host.stamps[-1] - host.stamps[-2], ADD_BOUND_MS, host.stamps)
        self.assertTrue(self.lab.inner_mapped("tcp", WAN_PORT, LAN_PORT),
                        self.lab.inner.mapping_rules())
        return answered

    def forwarded_within(self, since, bound):
        """Seconds from `since` until the outer daemon holds the mapping and it forwards from
        the provider's side through both routers; None when `bound` s ran out first."""
        def through():
            return self.lab.outer_mapped("tcp", WAN_PORT) and \
                self.lab.reach("tcp", WAN_PORT, wait=0.5)
        left = since + bound - time.monotonic()
        return time.monotonic() - since if left > 0 and until(through, left) else None


class UpnpOuterRouter(DoubleNatHost, unittest.TestCase):
    def test_forwarded_through_both_routers_then_both_removed(self):
        self.assertFalse(self.lab.reach("tcp", WAN_PORT, wait=1.0), "forwarded before the add")
        with self.live(*SEARCH, ADD, "sleep(8000)", REMOVE, "sleep(3000)") as host:
            added = self.added(host)
            took = self.forwarded_within(added, FORWARDED_BOUND_S)
            self.assertIsNotNone(took, f"{self.lab.outer.mapping_rules()}\n"
                                       f"{self.lab.outer.log()[-3000:]}")
            print(f"\n{type(self).__name__}: forwarded through both {took:.2f} s after the add")
            # The outer mapping carries the application's description.
            inner_add, = self.lab.inner.events("soap", "AddPortMapping")
            self.assertEqual(list(self.lab.outer.mapping_labels().values()),
                             [inner_add["arguments"]["NewPortMappingDescription"]])
            self.assertEqual(host.next(), "true")
            self.assertTrue(until(lambda: not (self.lab.outer.mapping_rules()
                                               or self.lab.inner.mapping_rules()), 2.0),
                            (self.lab.outer.mapping_rules(), self.lab.inner.mapping_rules()))
            self.assertFalse(self.lab.reach("tcp", WAN_PORT, wait=1.0), "still forwarded")


class PlainNatOuterRouter(DoubleNatHost, unittest.TestCase):
    LAB = {"outer": "nat"}

    def test_the_add_answers_at_once_and_the_upstream_tries_stay_bounded(self):
        with self.live(*SEARCH, ADD, f"sleep({WATCHED_S * 1000})", REMOVE) as host:
            added = self.added(host)
            self.assertEqual(host.next(), "true")
        sent = self.lab.watch.probes()
        print(f"\n{type(self).__name__}: upstream after the add: " + ", ".join(
            f"{p['t'] - added:+.2f} s {p['proto']} {p['dst']}:{p.get('dport', p.get('type'))}"
            for p in sent))
        self.assertLessEqual(most_in_window(sent), UPSTREAM_PER_MINUTE, sent)
        # One try in that minute: the echo that finds the outer router (sent with TTL 2, so
        # it expires there: 1 when it leaves the inner router), its three searches, then PCP.
        echoes = [p for p in sent if p["proto"] == "icmp"]
        self.assertEqual([(p["dst"], p["type"], p["ttl"]) for p in echoes],
                         [(TwoRouterLan.PROBE, ICMP_ECHO, 1)], sent)
        searches = [p for p in sent if p.get("dport") == 1900]
        self.assertEqual(sorted(header(p["text"], "ST") for p in searches),
                         sorted(SEARCH_ORDER), sent)
        announces = [fakepcp.decode(p["text"].encode("latin-1")) for p in sent
                     if p.get("dport") == 5351]
        self.assertTrue(1 <= len(announces) <= 4, sent)
        self.assertTrue(all((a["version"], a["opcode"], a["response"]) == (2, 0, False)
                            for a in announces), announces)
        self.assertEqual(len(echoes) + len(searches) + len(announces), len(sent), sent)
        self.assertEqual({p["dst"] for p in sent if p["proto"] == "udp"}, {R}, sent)
        self.assertGreaterEqual(min(p["t"] for p in sent), added - 1.0, sent)


class RestartedOuterRouter(DoubleNatHost, unittest.TestCase):
    def test_the_second_mapping_is_back_after_the_outer_router_restarts(self):
        with self.live(*SEARCH, ADD, "sleep(170000)", REMOVE, bound=240) as host:
            added = self.added(host)
            self.assertIsNotNone(self.forwarded_within(added, FORWARDED_BOUND_S),
                                 self.lab.outer.log()[-3000:])
            started = self.lab.outer.restart()
            self.assertFalse(self.lab.outer_mapped("tcp", WAN_PORT), "kept over the restart")
            back = self.forwarded_within(started, RESTART_BOUND_S)
            print(f"\n{type(self).__name__}: the outer mapping back and forwarding "
                  + (f"{back:.1f} s" if back is not None else "not")
                  + " after the daemon's start")
            self.assertIsNotNone(back, self.lab.outer.log()[-3000:])


class PublicInnerAddress(DoubleNatHost, unittest.TestCase):
    LAB = {"public": True}

    def test_nothing_is_sent_upstream(self):
        began = time.monotonic()
        with self.live(*SEARCH, ADD, "sleep(8000)", REMOVE) as host:
            self.added(host)
            self.assertEqual(host.next(), "true")
        # portlink asked for the inner router's external address after its add ...
        add, = self.lab.inner.events("soap", "AddPortMapping")
        self.assertTrue([e for e in self.lab.inner.events("soap", "GetExternalIPAddress")
                         if e["t"] > add["t"]], self.lab.inner.events())
        # ... and, that being public, sent nothing beyond the inner router.
        self.assertEqual(self.lab.watch.packets(since=began), [])
        self.assertEqual(self.lab.outer.mapping_rules(), [])


if __name__ == "__main__":
    unittest.main()
