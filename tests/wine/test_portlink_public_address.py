"""The add's local-address test on a host with a public-looking address (100.201.0.20): the
search works, the add answers false without any contact with the gateway, and the delete,
which never tests the address, goes out as usual."""
import unittest

from testbed import fakegw
from tests.wine.portlink_fixture import (PortlinkGroup, answer_search, check_post,
                                         delete_post, description_get, entry_of,
                                         normal_scenario)

GW = "100.201.0.1"


class PublicAddress(PortlinkGroup):
    lan_address = "100.201.0.20"
    gateway_address = GW

    def test_add_refused_before_any_traffic_delete_goes_out(self):
        answer = fakegw.ssdp_answer(location=f"http://{GW}:5000/rootDesc.xml")
        run = self.play(entry_of(normal_scenario(ssdp=answer_search(answer)),
                                 client="100.201.0.20"),
                        ["getLocalIP()", "isLANIP()", "startSearch()", "wait-search(25000)",
                         "isSearchSucces()", "addNATPortMapping(8080,80,1)",
                         "addNATPortMapping(8080,80,0)", "removeNATPortMapping(80,1)"])
        self.assertAnswers(run, ["100.201.0.20", "false", "true", "true", "true", "false",
                                 "false", "true"])
        self.assertSearchBatches(run, 1)
        authority = f"{GW}:5000"
        # The remove asks first (the port is not this process's), and the entry names this
        # host: its delete goes out, public address or not.
        self.assertEqual(run.requests(), [description_get(authority=authority),
                                          check_post(80, "TCP", authority=authority),
                                          delete_post(80, "TCP", authority=authority)])
        # Both adds together take less than one exchange would.
        self.assertLess(run.ms(6) - run.ms(4), 900, run)


if __name__ == "__main__":
    unittest.main()
