"""How the action functions read their arguments, seen in the SOAP bodies at the fake
gateway: the low 16 bits of the ports, the protocol selector (only 1 is TCP), an argument
that is not an integer counting as 0; and the actions before any search."""
import unittest

from tests.wine.portlink_fixture import (PortlinkGroup, add_post, delete_post,
                                         description_get, normal_scenario)

CASES = [  # (command, wire text)
    ("addNATPortMapping(8080,80,1)", add_post(80, "TCP", 8080)),
    ("addNATPortMapping(65616,65616,1)", add_post(80, "TCP", 80)),
    ("addNATPortMapping(8080,65536,0)", add_post(0, "UDP", 8080)),
    ("addNATPortMapping(-1,65537,2)", add_post(1, "UDP", 65535)),
    ("addNATPortMapping(8080,-1,17)", add_post(65535, "UDP", 8080)),
    ("addNATPortMapping(8080,80,-1)", add_post(80, "UDP", 8080)),
    ("addNATPortMapping(8080,80,6)", add_post(80, "UDP", 8080)),
    ("addNATPortMapping(s:x,s:8080,s:1)", add_post(0, "UDP", 0)),
    ("addNATPortMapping(8080,s:x,1)", add_post(0, "TCP", 8080)),
    ("removeNATPortMapping(80,1)", delete_post(80, "TCP")),
    ("removeNATPortMapping(65616,0)", delete_post(80, "UDP")),
    ("removeNATPortMapping(-1,17)", delete_post(65535, "UDP")),
    ("removeNATPortMapping(s:x,s:1)", delete_post(0, "UDP")),
]


class Arguments(PortlinkGroup):

    def test_ports_protocols_and_unreadable_arguments_on_the_wire(self):
        commands = ["startSearch()", "wait-search(25000)"] + [c for c, _ in CASES]
        run = self.play(normal_scenario(), commands)
        self.assertAnswers(run, ["true"] * len(commands))
        self.assertEqual(run.requests(5000), [description_get()] + [w for _, w in CASES])
        # Beside them, the keeper asked the gateway's external address once; a public one
        # leaves nothing more to learn.
        asked = [r for r in run.requests(5000, background=True) if "#GetExternalIPAddress" in r]
        self.assertEqual(len(asked), 1, run)

    def test_actions_before_any_search_send_nothing(self):
        run = self.play(normal_scenario(), ["isSearchEnd()", "isSearchSucces()",
                                            "addNATPortMapping(8080,80,1)",
                                            "removeNATPortMapping(80,1)", "sleep(1500)",
                                            "isSearchEnd()"])
        self.assertAnswers(run, ["false"] * 5)
        self.assertEqual(run.record["ssdp"], [])
        self.assertNoTraffic(run)


if __name__ == "__main__":
    unittest.main()
