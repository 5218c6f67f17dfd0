"""portlink on gateways that map through PCP or NAT-PMP: the real gateway with UPnP switched
off (mappings proven from the WAN side, kept alive past a 6 s lifetime, removed, and left to
lapse once the library is let go), the same gateway with both on (UPnP still used), and the
scripted responder for what a real one will not do."""
import subprocess
import threading
import time
import unittest

from testbed import netns
from tests.wine.portlink_fixture import THIRD, PortlinkGroup
from tests.wine.portlink_gateway_flow import LAN_PORT, WAN_PORT, GatewayHost

ROAD = ["startSearch()", "wait-search(25000)", "isSearchSucces()",
        "addNATPortMapping(8080,80,1)", "removeNATPortMapping(80,1)"]


class UpnpOffGateway(GatewayHost, unittest.TestCase):
    GATEWAY_OPTIONS = {"upnp": False, "natpmp": True, "max_lifetime": 6}

    def steps(self, commands, checks):
        """Runs the host with -v; when its i-th answer line comes, checks[i] runs while the
        host goes on (a sleep after that command gives it time).  Returns the answers."""
        host = self.box.popen("vnxhost.exe", ["-v", self.dll, *commands],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
        watchdog = threading.Timer(120, host.kill)
        watchdog.start()
        answers = []
        try:
            for line in host.stdout:
                answers.append(line.rstrip().partition(" = ")[2])
                checks.get(len(answers) - 1, lambda: None)()
        finally:
            watchdog.cancel()
            host.wait()
            host.stdout.close()
        return answers

    def test_mappings_proven_kept_alive_removed_and_left_to_lapse(self):
        self.gateway.listen("udp", LAN_PORT + 1)
        seen = {}

        def look(name, after=0.0):
            time.sleep(after)
            seen[name] = (self.gateway.mapping_made_by("tcp", WAN_PORT),
                          self.gateway.reach("tcp", WAN_PORT),
                          self.gateway.mapping_made_by("udp", WAN_PORT + 1),
                          self.gateway.reach("udp", WAN_PORT + 1))

        # Granted 6 s, the mappings are alive 15 s later only if renewed; once the library is
        # let go they are not renewed, and gone within their lifetime.
        answers = self.steps(
            ["startSearch()", "wait-search(20000)", "isSearchSucces()",
             f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)",
             f"addNATPortMapping({LAN_PORT + 1},{WAN_PORT + 1},0)", "sleep(17000)",
             f"removeNATPortMapping({WAN_PORT},1)", "sleep(3000)", "unload", "sleep(11000)"],
            {4: lambda: (look("made"), look("15 s later", after=15)),
             5: lambda: look("tcp removed"), 6: lambda: look("unloaded", after=9)})
        self.assertEqual(answers, ["true"] * 6 + ["unloaded"], self.gateway.log()[-3000:])
        self.assertEqual(seen["made"], ("PCP", True, "PCP", True), self.gateway.log()[-3000:])
        self.assertEqual(seen["15 s later"], ("PCP", True, "PCP", True))
        self.assertEqual(seen["tcp removed"], (None, False, "PCP", True))
        self.assertEqual(seen["unloaded"], (None, False, None, False))


class BothOnGateway(GatewayHost, unittest.TestCase):
    GATEWAY_OPTIONS = {"natpmp": True}

    def test_upnp_is_still_used(self):
        answers = self.host("startSearch()", "wait-search(20000)",
                            f"addNATPortMapping({LAN_PORT},{WAN_PORT},1)")
        self.assertEqual(answers, ["true"] * 3, self.gateway.log()[-3000:])
        self.assertEqual(self.gateway.mapping_made_by("tcp", WAN_PORT), "UPnP")
        self.assertTrue(self.gateway.reach("tcp", WAN_PORT))
        self.assertEqual(self.host("startSearch()", "wait-search(20000)",
                                   f"removeNATPortMapping({WAN_PORT},1)"), ["true"] * 3)


def maps(run):
    """(version, protocol, internal, external, lifetime) of each map request received, and the
    nonce of each PCP one."""
    return [((r["version"], r.get("protocol"), r.get("internal"), r.get("external"),
              r.get("lifetime")), r.get("nonce")) for r in run.pcp_requests()
            if r.get("opcode") in (1, 2) and not r["response"]]


class ScriptedResponder(PortlinkGroup):

    @classmethod
    def prepare_lan(cls):
        cls.add_third_host()

    def play_pcp(self, pcp, commands=ROAD, **kw):
        return self.play({"ssdp": None, "http": {}, "pcp": pcp}, commands, **kw)

    def test_answers_that_refuse_or_move_the_mapping(self):
        cases = {  # responder, answers of ROAD, map requests received (without nonces)
            "NAT-PMP only": ({"natpmp_only": True}, ["true"] * 5,
                             [(0, 6, 8080, 80, 600), (0, 6, 8080, 0, 0)]),
            "another port granted": ({"port_offset": 1}, ["true"] * 3 + ["false", "false"],
                                     [(2, 6, 8080, 80, 600), (2, 6, 8080, 81, 0)]),
            "not authorized": ({"result": 2}, ["true"] * 3 + ["false", "false"],
                               [(2, 6, 8080, 80, 600)]),
        }
        for name, (pcp, answers, requests) in cases.items():
            with self.subTest(name):
                run = self.play_pcp(pcp)
                self.assertAnswers(run, answers)
                self.assertEqual([m for m, _ in maps(run)], requests, run)
                # The delete of a moved mapping names the mapping that was made.
                self.assertEqual(len({n for _, n in maps(run)}), 1, run)
                self.assertSearchBatches(run, 1)

    def test_answers_from_another_host_do_not_count(self):
        run = self.play_pcp({"source": THIRD}, ROAD[:3])
        self.assertAnswers(run, ["true", "true", "false"])
        self.assertTrue(run.pcp_answers() and all(a["source"] == THIRD
                                                  for a in run.pcp_answers()), run)

    def test_a_restarted_server_gets_the_mappings_again_at_once(self):
        # Epochs of the answers: the two probes, the first map, then the second map's answer
        # says the server started again.
        run = self.play_pcp({"epochs": [1000, 1000, 1000, 3]},
                            ROAD[:3] + ["addNATPortMapping(8080,80,1)",
                                        "addNATPortMapping(8081,81,1)", "sleep(1500)"])
        self.assertAnswers(run, ["true"] * 5)
        (first, nonce), (second, _), *renewed = maps(run)
        self.assertEqual((first, second), ((2, 6, 8080, 80, 600), (2, 6, 8081, 81, 600)))
        self.assertEqual(renewed, [((2, 6, 8080, 80, 600), nonce)], run)

    def test_silence(self):
        run = self.play_pcp(None, ROAD[:3] + ["addNATPortMapping(8080,80,1)"])
        self.assertAnswers(run, ["true", "true", "false", "false"])
        self.assertSearchBatches(run, 5)
        # Each batch of searches carries one PCP ANNOUNCE and one NAT-PMP address request.
        probes = [(r["version"], r["opcode"], r["length"]) for r in run.pcp_requests()]
        self.assertEqual(probes, [(2, 0, 24), (0, 0, 2)] * 5, run)
        self.assertEqual([r["client"] for r in run.pcp_requests()[::2]],
                         [f"::ffff:{netns.Lan.LAN_HOST}"] * 5)


if __name__ == "__main__":
    unittest.main()
