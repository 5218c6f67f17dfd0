"""portlink against a real gateway (miniupnpd in namespaces): discovery, a TCP mapping that
really forwards from the WAN side, its removal, refused mappings, and an unload of the
library while its discovery thread runs."""
import re
import unittest

from tests.wine.portlink_gateway_flow import MappingFlow


class TcpGateway(MappingFlow, unittest.TestCase):
    KIND = "tcp"
    SELECTOR = 1

    def test_unload_during_search(self):
        fetched = len(re.findall(r"GET /rootDesc\.xml", self.gateway.log()))
        # The search takes 1.5 s; the library is unloaded at once and the thread must still
        # finish it (its own reference keeps the code loaded) without bringing the host down.
        answers = self.host("startSearch()", "unload", "sleep(3000)")
        self.assertEqual(answers, ["true", "unloaded"])
        self.assertEqual(len(re.findall(r"GET /rootDesc\.xml", self.gateway.log())), fetched + 1)


if __name__ == "__main__":
    unittest.main()
