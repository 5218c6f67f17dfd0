"""The slow discoveries, side by side with the other groups: a network where nothing
answers (five batches, then false), and a gateway that names its description by a DNS name
(never resolved, and not the address the answer came from: the answer is dropped and the
search runs its whole window)."""
import unittest

from testbed import fakegw
from tests.wine.portlink_fixture import PortlinkGroup, answer_search, normal_scenario


class SlowSearches(PortlinkGroup):

    def test_silent_network(self):
        run = self.play({"ssdp": None, "http": {"5000": []}},
                        ["startSearch()", "isSearchEnd()", "wait-search(30000)",
                         "isSearchEnd()", "isSearchSucces()", "addNATPortMapping(8080,80,1)",
                         "removeNATPortMapping(80,1)"])
        self.assertAnswers(run, ["true", "false", "true", "true", "false", "false", "false"])
        self.assertSearchBatches(run, 5)
        first = run.searches[0]["t"]
        for batch in range(5):
            times = [d["t"] - first for d in run.searches[3 * batch:3 * batch + 3]]
            self.assertTrue(all(3 * batch - 0.1 <= t <= 3 * batch + 1.5 for t in times),
                            (batch, times))
        self.assertTrue(14500 <= run.ms(2) - run.ms(0) <= 18500, run)
        self.assertNoTraffic(run)

    def test_description_url_with_a_dns_name(self):
        answer = fakegw.ssdp_answer(location="http://gateway.lan:5000/rootDesc.xml")
        run = self.play(normal_scenario(ssdp=answer_search(answer)),
                        ["startSearch()", "wait-search(30000)", "isSearchSucces()"])
        self.assertAnswers(run, ["true", "true", "false"])
        self.assertSearchBatches(run, 5)
        self.assertNoTraffic(run)
        self.assertTrue(14500 <= run.ms(1) - run.ms(0) <= 18500, run)

if __name__ == "__main__":
    unittest.main()
