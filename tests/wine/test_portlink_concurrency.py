"""The runtime's thread against the discovery thread: functions spun in a tight loop while
discovery writes its texts, two close startSearch calls (one discovery, counted in M-SEARCH
datagrams at the fake gateway), and the host unloading portlink while a search runs."""
import unittest

from testbed import fakegw
from tests.wine.portlink_fixture import (PortlinkGroup, add_post, check_post, delete_post,
                                         description_get, entry_of, normal_scenario)


def spin_counts(answer):
    """'spin calls=N false=A true=B' -> {'calls': N, 'false': A, 'true': B}."""
    words = answer.split()
    assert words[0] == "spin", answer
    return {k: int(v) for k, v in (w.split("=", 1) for w in words[1:])}


def slow_description_scenario():
    """Answers the search at once and the description after 0.3 s, so that the spinning
    runs across the whole of discovery's writes."""
    scenario = normal_scenario()
    scenario["http"]["5000"][0] = {"chunks": [
        {"delay": 0.3, "data": fakegw.http_answer(fakegw.description())}]}
    return scenario


class Concurrency(PortlinkGroup):

    def assertSurvived(self, run):
        self.assertEqual(run.returncode, 0, run)
        self.assertNotIn("Unhandled", run.stderr, run)

    def test_success_flag_spun_during_discovery(self):
        run = self.play(slow_description_scenario(),
                        ["startSearch()", "spin(4000,isSearchSucces())", "isSearchEnd()",
                         "isSearchSucces()", "addNATPortMapping(8080,80,1)"])
        self.assertSurvived(run)
        counts = spin_counts(run.answers[1])
        self.assertEqual(set(counts), {"calls", "false", "true"}, run)
        self.assertEqual(counts["calls"], counts["false"] + counts["true"])
        self.assertGreater(counts["false"], 100, run)
        self.assertGreater(counts["true"], 100, run)
        self.assertEqual(run.answers[2:], ["true", "true", "true"])
        self.assertEqual(run.requests(5000), [description_get(), add_post(80, "TCP", 8080)])

    def test_remove_spun_during_discovery(self):
        run = self.play(entry_of(slow_description_scenario()),
                        ["startSearch()", "spin(4000,removeNATPortMapping(80,1))",
                         "wait-search(20000)", "isSearchSucces()"])
        self.assertSurvived(run)
        counts = spin_counts(run.answers[1])
        self.assertEqual(set(counts), {"calls", "false", "true"}, run)
        self.assertGreater(counts["false"], 100, run)  # no gateway yet: nothing sent
        self.assertGreaterEqual(counts["true"], 1, run)
        self.assertEqual(run.answers[2:], ["true", "true"])
        # Every request that went out is whole, with the final service type and control URL:
        # the port is not this process's, so each remove asks first, and the entry names
        # this host.
        self.assertEqual(run.requests(5000),
                         [description_get()]
                         + [check_post(80, "TCP"), delete_post(80, "TCP")] * counts["true"])

    def test_two_close_start_search_calls_run_one_discovery(self):
        run = self.play(normal_scenario(), ["startSearch()", "startSearch()",
                                            "wait-search(20000)", "isSearchSucces()",
                                            "sleep(2000)"])
        self.assertSurvived(run)
        self.assertAnswers(run, ["true"] * 4)
        self.assertSearchBatches(run, 1)
        self.assertEqual(run.requests(), [description_get()])

    def test_two_close_start_search_calls_on_a_silent_network(self):
        run = self.play({"ssdp": None}, ["startSearch()", "startSearch()",
                                         "wait-search(30000)", "isSearchSucces()",
                                         "sleep(1500)"])
        self.assertSurvived(run)
        self.assertAnswers(run, ["true", "true", "true", "false"])
        self.assertSearchBatches(run, 5)
        self.assertTrue(14500 <= run.ms(2) - run.ms(0) <= 18500, run)

    def test_unload_during_a_search(self):
        # The finalizers come first: the search stops at its next step and sends no more (at
        # most the batch that went before them), reads no description, and the discovery
        # thread's own reference keeps the code there until it has left.
        for name, scenario in (("silent", {"ssdp": None}),
                               ("slow description", slow_description_scenario())):
            with self.subTest(name):
                run = self.play(scenario, ["startSearch()", "unload", "sleep(4000)"])
                self.assertSurvived(run)
                self.assertAnswers(run, ["true", "unloaded"])
                self.assertLessEqual(len(run.searches), 3, run)
                self.assertEqual(run.requests(), [], run)


if __name__ == "__main__":
    unittest.main()
