"""The keeper of this process's mappings: what it does after the add answered.

On the real gateway: mappings brought back after the daemon restarts (UPnP: its NOTIFYs;
UPnP off: its PCP ANNOUNCE), renewal that lasts while any context is open, and a remove
refused by a gateway outage carried out once it is over.  With the scripted fake: lost
deletes sent again, failed adds that leave the live mapping alone, one external port per
internal port, failed renewals retried before expiry, a renewal that falls due during an add
granted on another port still sent (the stray grant deleted first), announcements that
count only from the gateway, and NOTIFY floods that cost at most one check per mapping per
5 s, and checks whose answers bring a lost mapping back with the same request."""
import re
import time
import unittest

from testbed import fakegw, fakepcp
from tests.wine.portlink_fixture import (GW, HOST, THIRD, PortlinkGroup, add_post,
                                         answer_search, control_post, delete_arguments, serve)
from tests.wine.portlink_gateway_flow import LAN_PORT, WAN_PORT, GatewayHost, until

SEARCH = ["startSearch()", "wait-search(25000)", "isSearchSucces()"]
ADD = f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)"
REMOVE = f"removeNATPortMapping({WAN_PORT},1)"

# A NAT-PMP map of TCP INTERNAL to EXTERNAL for 7200 s, from the LAN host: prints the result.
_NATPMP_MAP = r"""
import socket, struct, sys
host, gateway, internal, external = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind((host, 0))
s.settimeout(2)
s.sendto(struct.pack("!BBHHHI", 0, 2, 0, internal, external, 7200), (gateway, 5351))
print(struct.unpack_from("!H", s.recv(64), 2)[0])
"""


class RestartedGateway(GatewayHost):
    """A mapping of ours, and one made by another client, then the daemon restarts: ours must
    be back (rule and forwarding) within BOUND s of its start, the other one stays lost."""
    BOUND = None
    MADE_BY = None

    def other_client_maps(self, internal, external):
        raise NotImplementedError

    def mapped(self, external, internal=LAN_PORT):
        return self.gateway.has_mapping("tcp", external, HOST, internal)

    def test_the_mapping_is_back_soon_after_the_daemon_starts_again(self):
        with self.live(*SEARCH[:2], ADD, "sleep(11000)", REMOVE) as host:
            self.assertEqual([host.next() for _ in range(3)], ["true"] * 3,
                             self.gateway.log()[-3000:])
            self.other_client_maps(LAN_PORT + 1, WAN_PORT + 1)
            self.assertTrue(self.mapped(WAN_PORT) and self.mapped(WAN_PORT + 1, LAN_PORT + 1),
                            self.gateway.mapping_rules())
            started = self.gateway.restart()
            back = None
            while back is None and time.monotonic() < started + self.BOUND + 4:
                if self.mapped(WAN_PORT) and self.gateway.reach("tcp", WAN_PORT, wait=1.0):
                    back = time.monotonic() - started
                else:
                    time.sleep(0.05)
            print(f"\n{type(self).__name__}: mapping back and forwarding "
                  + (f"{back:.2f} s" if back is not None else "not")
                  + " after the daemon's start")
            self.assertIsNotNone(back, self.gateway.log()[-3000:])
            self.assertLessEqual(back, self.BOUND)
            self.assertEqual(self.gateway.mapping_made_by("tcp", WAN_PORT), self.MADE_BY)
            # The restart lost every mapping: only portlink's own came back.
            self.assertFalse(self.mapped(WAN_PORT + 1, LAN_PORT + 1), self.gateway.mapping_rules())
            self.assertEqual(host.next(), "true")
        self.assertFalse(self.mapped(WAN_PORT), self.gateway.mapping_rules())


class RestartedUpnpGateway(RestartedGateway, unittest.TestCase):
    BOUND = 5.0
    MADE_BY = "UPnP"

    def other_client_maps(self, internal, external):
        self.lan.net.lan.run(["upnpc", "-u", f"http://{GW}:5000/rootDesc.xml", "-a", HOST,
                              str(internal), str(external), "TCP"], timeout=20)


class RestartedPcpGateway(RestartedGateway, unittest.TestCase):
    # The lifetime is not capped: only the restart's announcement can bring it back soon.
    GATEWAY_OPTIONS = {"upnp": False, "natpmp": True}
    BOUND = 3.0
    MADE_BY = "PCP"

    def other_client_maps(self, internal, external):
        result = self.lan.net.lan.run(["python3", "-c", _NATPMP_MAP, HOST, GW, str(internal),
                                       str(external)], timeout=20)
        self.assertEqual(result.stdout.strip(), "0")


class UpnpGatewayOutage(GatewayHost, unittest.TestCase):
    """The gateway's HTTP port refuses for REFUSED s, longer than the keeper's first three
    delete retries (2, 6 and 14 s after the remove): a remove during it answers false, and
    the mapping is gone within BOUND s after the port takes connections again."""
    REFUSED = 22.0
    BOUND = 40.0

    def test_a_remove_during_an_outage_is_carried_out_after_it(self):
        def mapped():
            return self.gateway.has_mapping("tcp", WAN_PORT, HOST, LAN_PORT)

        with self.live(*SEARCH[:2], ADD, "sleep(2000)", REMOVE, "sleep(80000)",
                       bound=120) as host:
            self.assertEqual([host.next() for _ in range(3)], ["true"] * 3,
                             self.gateway.log()[-3000:])
            self.assertTrue(mapped(), self.gateway.mapping_rules())
            self.gateway.refuse_http()
            refused = time.monotonic()
            try:
                self.assertEqual(host.next(), "false")
                time.sleep(max(0.0, refused + self.REFUSED - time.monotonic()))
                self.assertTrue(mapped(), "deleted while the port refused")
            finally:
                self.gateway.accept_http()
            lifted = time.monotonic()
            gone = until(lambda: not mapped(), self.BOUND)
            print(f"\n{type(self).__name__}: mapping "
                  + (f"gone {time.monotonic() - lifted:.1f} s" if gone else "still there")
                  + " after the refusal ended")
            self.assertTrue(gone, self.gateway.mapping_rules())


class ContextsOnPcpGateway(GatewayHost, unittest.TestCase):
    """Granted 6 s, a mapping is alive 15 s later only if renewed, and gone 9 s after its
    renewal stopped."""
    GATEWAY_OPTIONS = {"upnp": False, "natpmp": True, "max_lifetime": 6}

    def alive(self):
        return (self.gateway.mapping_made_by("tcp", WAN_PORT),
                self.gateway.reach("tcp", WAN_PORT))

    def answers(self, host, count):
        return [host.next() for _ in range(count)]

    def test_closing_one_of_two_contexts_leaves_renewal_on_until_unload(self):
        with self.live(*SEARCH, "open-context", ADD, "close-context", "sleep(16000)", "unload",
                       "sleep(10000)") as host:
            self.assertEqual(self.answers(host, 6), ["true"] * 3 + ["context 2", "true",
                                                                    "context 2 closed"])
            time.sleep(15)  # the mapping was made in the context that is closed
            self.assertEqual(self.alive(), ("PCP", True), self.gateway.log()[-3000:])
            self.assertEqual(host.next(), "unloaded")
            time.sleep(9)
            self.assertEqual(self.alive(), (None, False))

    def test_renewal_ends_when_the_last_context_is_closed(self):
        with self.live(*SEARCH, ADD, "open-context", "close-context", "close-context",
                       "sleep(10000)") as host:
            self.assertEqual(self.answers(host, 7), ["true"] * 4 + [
                "context 2", "context 2 closed", "context 1 closed"])
            time.sleep(9)  # no extension finalizer was called
            self.assertEqual(self.alive(), (None, False))


# ------------------------------------------------------------ the scripted fake gateway

def map_requests(run):
    """The PCP MAP and NAT-PMP map requests the responder received, decoded, each with "t"
    and "scripted" (the answer its exchange was given)."""
    found = []
    for d in run.record["pcp"]:
        fields = fakepcp.decode(d["data"].encode("latin-1"))
        if not fields.get("response", True) and fields.get("opcode") in (1, 2) and (
                fields["version"] == 0 or "nonce" in fields):
            found.append(dict(fields, t=d["t"], scripted=d.get("scripted")))
    return found


def announcements(run):
    """(t, source address) of each announcement the responder multicast."""
    return [(d["t"], d["source"]) for d in run.record["pcp_sent"]
            if d["to"] == [fakepcp.ANNOUNCE_GROUP, fakepcp.ANNOUNCE_PORT]]


def key(request):
    return request["protocol"], request["internal"], request["external"]


def upnp_box(checks, notify, search_answer=None):
    """The gateway answering at once; the control URL grants adds and deletes and answers
    GetSpecificPortMappingEntry with `checks` in turn; NOTIFY bursts `notify`."""
    control = {"AddPortMapping": serve(fakegw.soap_answer()),
               "DeletePortMapping": serve(fakegw.soap_answer("DeletePortMapping")),
               "GetSpecificPortMappingEntry": serve(*checks)}
    return {"ssdp": answer_search(search_answer or fakegw.ssdp_answer()),
            "http": {"5000": {"answers": serve(fakegw.http_answer(fakegw.description())),
                              "actions": control}},
            "notify": notify}


def posts(run, action):
    return [c for c in run.connections(5000) if c["action"] == action]


def checked(run):
    """(external port, protocol, t_connect) of each GetSpecificPortMappingEntry asked."""
    found = []
    for c in posts(run, "GetSpecificPortMappingEntry"):
        port = re.search(r"<NewExternalPort>(\d+)</NewExternalPort>", c["data"])
        protocol = re.search(r"<NewProtocol>(\w+)</NewProtocol>", c["data"])
        found.append((int(port.group(1)) if port else None,
                      protocol.group(1) if protocol else None, c["t_connect"]))
    return found


def notice(delay, bootid=1, **kw):
    """One NOTIFY `delay` s after the first AddPortMapping request was read."""
    return {"after_action": "AddPortMapping", "delay": delay, "bootid": bootid, **kw}


OURS = fakegw.mapping_entry_answer(LAN_PORT, HOST)
CHECK = control_post("GetSpecificPortMappingEntry", delete_arguments(WAN_PORT, "TCP"))


class ScriptedKeeper(PortlinkGroup):

    @classmethod
    def prepare_lan(cls):
        cls.add_third_host()

    def play_pcp(self, pcp, commands):
        return self.play({"ssdp": None, "http": {}, "pcp": pcp}, SEARCH + commands)

    # ---- PCP and NAT-PMP
    def test_a_lost_delete_is_sent_again_with_the_same_nonce(self):
        cases = {  # deletes not answered, commands after the add, their answers
            "by the keeper": (1, [REMOVE, "sleep(5500)"], ["false"]),
            "by a second remove right after the first": (
                1, [REMOVE, REMOVE, "sleep(5000)"], ["false", "true"]),
            # The keeper's first try (2 s after the remove's delete) goes unanswered too.
            "by a second remove between the keeper's tries": (
                2, [REMOVE, "sleep(2500)", REMOVE, "sleep(5000)"], ["false", "true"]),
        }
        for name, (unanswered, commands, answers) in cases.items():
            with self.subTest(name):
                run = self.play_pcp({"maps": ["grant"] + ["silence"] * unanswered},
                                    [ADD, *commands])
                self.assertAnswers(run, ["true"] * 4 + answers)
                add, *deletes = map_requests(run)
                self.assertEqual([(key(r), r["lifetime"], r["nonce"]) for r in deletes],
                                 [(key(add), 0, add["nonce"])] * len(deletes), run)
                lost = [r["t"] for r in deletes if r["scripted"] == "silence"]
                answered = [r["t"] for r in deletes if r["scripted"] == "grant"]
                self.assertTrue(lost and answered, run)
                if name == "by the keeper":
                    self.assertTrue(lost[0] + 1.9 <= answered[0] <= lost[0] + 5.0, run)
                # Once a delete is answered, none follows.
                self.assertLessEqual(answered[-1], answered[0] + 1.0, run)

    def test_a_failed_add_leaves_the_live_mapping_as_it_was(self):
        # Granted 12 s, the mapping is renewed 6 s after the add, whatever the second add got.
        # (The second add comes 2 s later, so that the responder does not take its request,
        # the same bytes, for a resend of the first.)
        for answer in ("silence", 2, "zero"):
            with self.subTest(answer=answer):
                run = self.play_pcp({"lifetime_cap": 12, "maps": ["grant", answer]},
                                    [ADD, "sleep(2000)", ADD, "sleep(5000)", REMOVE])
                self.assertAnswers(run, ["true"] * 4 + ["false", "true"])
                requests = map_requests(run)
                first = requests[0]
                self.assertEqual({(key(r), r["nonce"]) for r in requests},
                                 {(key(first), first["nonce"])}, run)
                later = [r for r in requests if r["scripted"] == "grant"][1:]
                renewals = [r["t"] - first["t"] for r in later if r["lifetime"]]
                self.assertTrue(renewals and 5.0 <= renewals[0] <= 7.5, run)
                self.assertEqual(later[-1]["lifetime"], 0, run)  # the remove's delete

    def test_adds_that_answer_false_and_keep_nothing(self):
        cases = {  # responder, commands after the search, answers, map requests received
            "another external port for a mapped internal port": (
                {}, [ADD, "addNATPortMapping(8080,81,1)", "addNATPortMapping(8080,81,0)",
                     "removeNATPortMapping(81,1)", REMOVE, "removeNATPortMapping(81,0)"],
                ["true", "false", "true", "false", "true", "true"],
                [((6, 8080, 80), 600), ((17, 8080, 81), 600), ((6, 8080, 80), 0),
                 ((17, 8080, 81), 0)]),
            "SUCCESS with lifetime 0": (
                {"maps": ["zero"]}, [ADD, REMOVE], ["false", "false"],
                [((6, 8080, 80), 600)]),
        }
        for name, (pcp, commands, answers, requests) in cases.items():
            with self.subTest(name):
                run = self.play_pcp(pcp, commands)
                self.assertAnswers(run, ["true"] * 3 + answers)
                self.assertEqual([(key(r), r["lifetime"]) for r in map_requests(run)],
                                 requests, run)

    def test_a_failed_renewal_is_tried_again_before_the_lifetime_ends(self):
        # Granted 8 s and renewed after 4 s; no renewal is answered.
        run = self.play_pcp({"lifetime_cap": 8, "maps": ["grant"] + ["silence"] * 60},
                            [ADD, "sleep(9000)"])
        self.assertAnswers(run, ["true"] * 4)
        first, *renewals = map_requests(run)
        self.assertTrue(renewals and all(r["nonce"] == first["nonce"] and r["lifetime"]
                                         for r in renewals), run)
        before_expiry = [r["t"] - first["t"] for r in renewals if r["t"] - first["t"] < 8.0]
        self.assertTrue(3.0 <= before_expiry[0] <= 5.0, run)
        # Halving the time left: tries until about a second before the end, three at least.
        self.assertGreaterEqual(len(before_expiry), 3, run)
        self.assertGreaterEqual(before_expiry[-1], 6.5, run)

    def test_a_renewal_due_during_an_add_granted_elsewhere_is_sent(self):
        # A is granted 8 s, so its renewal is due about 4 s after its add.  B's add starts
        # before that and is answered on a resend, 1.75 s after its first request, on
        # another port than asked: the renewal falls due while B's exchange goes on.  The
        # delete of B's grant is answered on a resend too (0.75 s), so that it shows whether
        # it came before the add answered.
        late = [{"moved": 1000, "after": 1.0}, {"after": 0.5}]
        run = self.play_pcp({"lifetime_cap": 8, "maps": ["grant", *late]},
                            [ADD, "sleep(3300)", "addNATPortMapping(8081,81,1)",
                             "sleep(4500)"])
        self.assertAnswers(run, ["true"] * 4 + ["false"])
        requests = map_requests(run)
        a = requests[0]
        b = next(r for r in requests if r["nonce"] != a["nonce"])
        renewals = [r["t"] - a["t"] for r in requests if r["nonce"] == a["nonce"]
                    and r["lifetime"] and r["t"] > a["t"] + 2.0]
        self.assertTrue(renewals and renewals[0] < 8.0, run)
        self.assertEqual(key(b), (6, 8081, 81), run)
        # B's grant is deleted, and the delete was answered before the add answered.  The
        # fake's clock is the host's shifted by at most the time between A's answer and
        # the host's line for it.
        answers = run.pcp_answers()
        answered_a = next(x["t"] for x in answers if x.get("nonce") == a["nonce"])
        shift = answered_a - run.ms(3) / 1000
        deleted = [x["t"] for x in answers if x.get("nonce") == b["nonce"]
                   and x["lifetime"] == 0]
        self.assertTrue(deleted, run)
        self.assertLessEqual(deleted[0], run.ms(4) / 1000 + shift + 0.2, run)

    def test_an_announcement_from_the_gateway_renews_every_mapping_at_once(self):
        foreign = [{"source": THIRD}, {"source": f"{GW}:5350"}]
        cases = {"PCP": ({}, False), "NAT-PMP": ({"natpmp_only": True}, True)}
        for name, (pcp, natpmp) in cases.items():
            with self.subTest(name):
                # From another host and from another port first: neither counts.  All come
                # more than 5 s after the adds, as in the notices' case below.
                plan = dict(pcp, announce=[
                    *({"after_map": 2, "delay": 5.5, "natpmp": natpmp, **f} for f in foreign),
                    {"after_map": 2, "delay": 7.0, "natpmp": natpmp}])
                run = self.play_pcp(plan, [ADD, "addNATPortMapping(8081,81,0)", "sleep(8500)"])
                self.assertAnswers(run, ["true"] * 5)
                self.assertEqual(len(announcements(run)), 3, run)
                heard = announcements(run)[-1][0]
                first, second_map, *renewals = map_requests(run)
                self.assertEqual(sorted((key(r), r.get("nonce")) for r in renewals),
                                 sorted((key(r), r.get("nonce")) for r in (first, second_map)),
                                 run)
                self.assertTrue(all(heard < r["t"] <= heard + 1.0 for r in renewals), run)

    # ---- UPnP
    def test_a_notify_flood_costs_at_most_one_check_per_mapping_per_5_s(self):
        # alive datagrams, each with a new BOOTID, and byebyes: 1000 a second each for 3 s.
        flood = [notice(1.0, count=3000, bootid=2, bootid_step=1),
                 notice(1.0, count=3000, nts="ssdp:byebye")]
        both = [ADD, "addNATPortMapping(8080,80,0)", "sleep(7000)"]
        for source in (GW, THIRD):
            with self.subTest(source=source):
                run = self.play(upnp_box([OURS], [dict(n, source=source) for n in flood]),
                                SEARCH + both)
                self.assertAnswers(run, ["true"] * 5)
                self.assertEqual(len(run.record["notify_sent"]), 6000, run)
                self.assertEqual(len(posts(run, "AddPortMapping")), 2, run)
                checks = checked(run)
                if source == THIRD:
                    self.assertEqual(checks, [], run)
                    continue
                self.assertEqual({(port, protocol) for port, protocol, _ in checks},
                                 {(80, "TCP"), (80, "UDP")}, run)
                for mapping in ((80, "TCP"), (80, "UDP")):
                    times = [t for port, protocol, t in checks if (port, protocol) == mapping]
                    self.assertTrue(all(b - a >= 4.9 for a, b in zip(times, times[1:])),
                                    (mapping, checks))

    def test_notices_that_make_the_mappings_be_checked_and_what_the_check_finds(self):
        no_bootid = fakegw.ssdp_answer().replace("BOOTID.UPNP.ORG: 1\r\n", "")
        gone = fakegw.soap_fault(714, "NoSuchEntryInArray")
        # Most notices come more than 5 s after the add, so that what they show does not
        # depend on whether the add counts towards the 5 s between two checks of a mapping;
        # one row has the restart soon after the add, which must be heard as well.
        restart = [notice(5.5, nts="ssdp:byebye"), notice(6.0)]
        cases = {  # NOTIFYs, sleep after the add, search answer, check answer, re-added
            "alive with the same BOOTID, then with another; still there": (
                [notice(5.5), notice(6.5, bootid=2)], 8000, None, OURS, False),
            "alive with another BOOTID than the search answer's": (
                [notice(6.0, bootid=2)], 7500, None, OURS, False),
            "byebye, then alive, 2 s after the add": (
                [notice(1.5, nts="ssdp:byebye"), notice(2.0)], 3500, None, OURS, False),
            "byebye, then alive with the same BOOTID; 714 NoSuchEntryInArray": (
                restart, 8000, None, gone, True),
            "alive from a gateway that sends no BOOTID; 401 Invalid Action": (
                [notice(6.0, bootid=None)], 8000, no_bootid,
                fakegw.soap_fault(401, "Invalid Action"), True),
            "byebye, then alive; held by another client": (
                restart, 8000, None,
                fakegw.mapping_entry_answer(LAN_PORT, "192.168.77.99"), True),
        }
        for name, (notify, sleep, search_answer, check, readded) in cases.items():
            with self.subTest(name):
                run = self.play(upnp_box([check], notify, search_answer),
                                SEARCH + [ADD, f"sleep({sleep})"])
                self.assertAnswers(run, ["true"] * 4)
                sent = [n["t"] for n in run.record["notify_sent"]]
                self.assertEqual(len(sent), len(notify), run)
                # Nothing before the last NOTIFY calls for a check; the last one does.
                asked = [t - sent[-1] for _, _, t in checked(run)]
                self.assertEqual(len(asked), 1, run)
                # The fake notes a NOTIFY's time once it is sent, and the check may connect
                # within the same millisecond.
                self.assertTrue(-0.05 < asked[0] <= 1.0, run)
                self.assertEqual(posts(run, "GetSpecificPortMappingEntry")[0]["data"], CHECK)
                adds = posts(run, "AddPortMapping")
                self.assertEqual([a["data"] for a in adds],
                                 [add_post(WAN_PORT, "TCP", LAN_PORT)] * (1 + readded), run)
                if readded:
                    self.assertLessEqual(adds[1]["t_connect"] - sent[-1], asked[0] + 2.0, run)

if __name__ == "__main__":
    unittest.main()
