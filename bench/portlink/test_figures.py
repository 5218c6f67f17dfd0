"""The arithmetic of the keeper-wait, outage and against-previous figures, and the helper files
the bench loads, checked without namespaces or Wine:

    python3 -m unittest bench.portlink.test_figures
"""
import os
import re
import unittest

from . import against_previous, common, double_nat, keeper_wait, outage_delete, restarts


def stamps_of(before_ms, commands, durations):
    """The host's -v stamps of `commands` when each call takes its duration: a sleep prints no
    line and adds its time."""
    stamps, now, calls = [], before_ms, iter(durations)
    for word in commands:
        sleep = re.fullmatch(r"sleep\((\d+)\)", word)
        if sleep:
            now += int(sleep.group(1))
        else:
            now += next(calls)
            stamps.append(now)
    return stamps


class CallTimes(unittest.TestCase):
    def test_each_call_gets_its_own_time_back(self):
        durations = [9012, 17480, 3, 2001, 0]
        commands = keeper_wait.call_commands(len(durations))
        stamps = stamps_of(5000, commands, durations)
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


class AgainstPrevious(unittest.TestCase):
    def test_each_figure_is_its_own_call_time(self):
        for plan, answers in ((against_previous.HOLDER, against_previous.HOLDER_ANSWERS),
                              (against_previous.OTHER, against_previous.OTHER_ANSWERS),
                              (double_nat.PLAN, double_nat.ANSWERS)):
            with self.subTest(figures=[name for _, name in plan if name]):
                commands = [command for command, _ in plan]
                calls = [name for command, name in plan if not command.startswith("sleep")]
                self.assertEqual(len(calls), len(answers))
                durations = [1000 + 37 * number for number in range(len(calls))]
                figures = against_previous.figures_of(plan, stamps_of(250, commands, durations))
                self.assertEqual(figures, {name: took for name, took in zip(calls, durations)
                                           if name})

    def test_ratio_rows(self):
        row = against_previous.ratio_row
        for values, against, options, expected in (
                ([100, 90, 110], [100, 100, 102], {}, (100, 100, 1.0, 0, "<= 1.05", "met")),
                ([106] * 3, [100] * 3, {}, (106, 100, 1.06, 6, "<= 1.05", "NOT met")),
                ([1000], [500], {"allowance_ms": 500},
                 (1000, 500, 2.0, 500, "<= 1.05 x (prev + 500)", "met")),
                ([1100], [500], {"allowance_ms": 500},
                 (1100, 500, 2.2, 600, "<= 1.05 x (prev + 500)", "NOT met")),
                ([1000, None], [900], {}, (None, 900, None, None, "<= 1.05", "NOT met")),
                ([], [900], {}, (None, 900, None, None, "<= 1.05", "NOT met")),
                ([2000], [1000], {"goal": None}, (2000, 1000, 2.0, 1000, "-", "(reference)"))):
            with self.subTest(values=values, against=against, options=options):
                self.assertEqual(row("figure", values, against, **options)[1:], expected)
        lines = against_previous.table_lines("title", ("a", "b"),
                                             [row("gone", [None], [5.0])])
        self.assertEqual(lines[2].split(), ["gone", "-", "5.0", "-", "-", "<=", "1.05", "NOT",
                                            "met"])


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
