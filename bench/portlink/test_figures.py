"""The arithmetic of the keeper-wait and outage figures, and the helper files the bench loads,
checked without namespaces or Wine:

    python3 -m unittest bench.portlink.test_figures
"""
import os
import re
import unittest

from . import common, keeper_wait, outage_delete, restarts


class CallTimes(unittest.TestCase):
    def stamps_of(self, before_ms, commands, durations):
        """The host's -v stamps of `commands` when each call takes its duration: a sleep
        prints no line and adds its time."""
        stamps, now, calls = [], before_ms, iter(durations)
        for word in commands:
            sleep = re.fullmatch(r"sleep\((\d+)\)", word)
            if sleep:
                now += int(sleep.group(1))
            else:
                now += next(calls)
                stamps.append(now)
        return stamps

    def test_each_call_gets_its_own_time_back(self):
        durations = [9012, 17480, 3, 2001, 0]
        commands = keeper_wait.call_commands(len(durations))
        stamps = self.stamps_of(5000, commands, durations)
        self.assertEqual(keeper_wait.call_times(5000, stamps), durations)

    def test_calls_remove_kept_ports_and_add_new_ones_in_turn(self):
        calls = [w for w in keeper_wait.call_commands(4) if not w.startswith("sleep")]
        kept = [keeper_wait.kept_port(i)[1] for i in range(2)]
        added = [keeper_wait.new_port(i) for i in range(2)]
        self.assertEqual(calls, [f"removeNATPortMapping({kept[0]},1)",
                                 "addNATPortMapping(%d,%d,1)" % added[0],
                                 f"removeNATPortMapping({kept[1]},1)",
                                 "addNATPortMapping(%d,%d,1)" % added[1]])
        # every remove of a whole run names a port mapped before the silence
        kept = {keeper_wait.kept_port(i)[1] for i in range(keeper_wait.KEPT_PORTS)}
        for word in keeper_wait.call_commands(keeper_wait.CALLS):
            removed = re.fullmatch(r"removeNATPortMapping\((\d+),1\)", word)
            if removed:
                self.assertIn(int(removed.group(1)), kept, word)

    def test_longest_beyond(self):
        for times, limit, expected in (([], 9000, None),
                                       ([8000, 9000], 9000, 0),
                                       ([9500, 17480, 2], 9000, 8480),
                                       ([2001, 4100], 2000, 2100)):
            with self.subTest(times=times, limit=limit):
                self.assertEqual(keeper_wait.longest_beyond(times, limit), expected)


class OutageText(unittest.TestCase):
    def test_gone_and_not_deleted(self):
        self.assertIn("mapping gone 3.250 s after the outage ended",
                      outage_delete.outage_text(3.25, "false"))
        text = outage_delete.outage_text(None, "false")
        self.assertIn("not deleted within 120 s", text)
        self.assertIn("the remove answered false", text)


class Helpers(unittest.TestCase):
    def test_every_helper_named_in_the_bench_exists(self):
        names = [restarts.BLOCK_NOTICES, outage_delete.REFUSED_HTTP, "watcher.py",
                 "pinhole_prober.py", *(rule for *_, rule in keeper_wait.ROWS)]
        for name in names:
            with self.subTest(name=name):
                self.assertTrue(os.path.isfile(common.helper(name)))

    def test_rule_files_are_taken_away_by_their_own_table(self):
        class Namespace:
            def __init__(self):
                self.commands = []

            def run(self, argv, **_):
                self.commands.append(argv)

        for name in os.listdir(common.HELPERS):
            if not name.endswith(".nft"):
                continue
            with self.subTest(name=name):
                ns = Namespace()
                common.rules_in(ns, name, False)
                with open(common.helper(name)) as f:
                    table = re.search(r"^table (\S+) (\S+) \{", f.read(), re.M).groups()
                self.assertEqual(ns.commands, [["nft", "delete", "table", *table]])


if __name__ == "__main__":
    unittest.main()
