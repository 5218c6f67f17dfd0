"""Gateway discovery against the scripted fake gateway: the M-SEARCH batches, which answer
datagram counts and how it is read (status, search target preference, LOCATION spellings,
zero bytes, oversized and empty datagrams)."""
import unittest

from testbed import fakegw
from tests.wine.portlink_fixture import (DESC_URL, GW, IGD, WAN_IP, WAN_PPP, PortlinkGroup,
                                         add_post, answer_search, delete_post,
                                         description_get, normal_scenario, serve)

SEARCH = ["startSearch()", "wait-search(25000)", "isSearchSucces()"]
SEARCH_AND_ADD = SEARCH + ["addNATPortMapping(8080,80,1)"]


class Discovery(PortlinkGroup):

    def test_answer_at_once_whole_road(self):
        run = self.play(normal_scenario(), ["startSearch()", "wait-search(25000)",
                                            "isSearchEnd()", "isSearchSucces()",
                                            "addNATPortMapping(8080,80,1)",
                                            "removeNATPortMapping(80,1)"])
        self.assertAnswers(run, ["true"] * 6)
        self.assertSearchBatches(run, 1)
        first = run.searches[0]["t"]
        self.assertLess(run.searches[2]["t"] - first, 0.5)
        self.assertEqual(run.record["ssdp_sent"][0]["to"], [self.lan.host_address, 27655])
        self.assertEqual(run.requests(5000), [description_get(),
                                              add_post(80, "TCP", 8080),
                                              delete_post(80, "TCP")])
        # The answer is read at the first receive, one second after the batch.
        get = run.connections(5000)[0]
        self.assertTrue(0.8 <= get["t_connect"] - first <= 3.0, run)
        self.assertTrue(1200 <= run.ms(1) - run.ms(0) <= 4000, run)

    def test_two_devices_only_first_datagram_counts(self):
        second = fakegw.ssdp_answer(location=f"http://{GW}:5001/rootDesc.xml")
        scenario = normal_scenario(ssdp=answer_search(fakegw.ssdp_answer(), second),
                                   extra_http={5001: serve(fakegw.http_answer(
                                       fakegw.description()))})
        run = self.play(scenario, SEARCH)
        self.assertAnswers(run, ["true", "true", "true"])
        self.assertEqual(len(run.record["ssdp_sent"]), 2)
        self.assertEqual(run.requests(5000), [description_get()])
        self.assertNoTraffic(run, 5001)

        # The first is unusable: the usable second one is never looked at.
        unusable = fakegw.ssdp_answer(status="HTTP/1.1 404 Not Found")
        run = self.play(normal_scenario(ssdp=answer_search(unusable, fakegw.ssdp_answer())),
                        SEARCH)
        self.assertAnswers(run, ["true", "true", "false"])
        self.assertSearchBatches(run, 1)
        self.assertNoTraffic(run)

    def test_failing_status_lines(self):
        for status in ("HTTP/1.1 404 Not Found", "HTTP/1.1", "HTTP/1.1 302 Found"):
            with self.subTest(status=status):
                run = self.play(normal_scenario(ssdp=answer_search(
                    fakegw.ssdp_answer(status=status))), SEARCH)
                self.assertAnswers(run, ["true", "true", "false"])
                self.assertSearchBatches(run, 1)
                self.assertNoTraffic(run)

    def test_search_target_preference(self):
        services = [fakegw.service_xml(WAN_IP, "/ctl/IPConn"),
                    fakegw.service_xml(WAN_PPP, "/ctl/PPPConn", name="WANPPPConn")]
        desc = fakegw.description(services=services)
        # Both connection services named (IP first): WANPPPConnection wins, although the
        # description lists WANIPConnection first.
        both = fakegw.ssdp_answer(st=WAN_IP, usn=f"uuid:1::{WAN_PPP}")
        run = self.play(normal_scenario(desc, ssdp=answer_search(both)), SEARCH_AND_ADD)
        self.assertAnswers(run, ["true"] * 4)
        self.assertEqual(run.requests(5000), [
            description_get(), add_post(80, "TCP", 8080, service_type=WAN_PPP,
                                        path="/ctl/PPPConn")])

        # The device type and WANIPConnection: WANIPConnection wins.
        run = self.play(normal_scenario(desc, ssdp=answer_search(
            fakegw.ssdp_answer(st=IGD, usn=f"uuid:1::{WAN_IP}"))), SEARCH_AND_ADD)
        self.assertAnswers(run, ["true"] * 4)
        self.assertEqual(run.requests(5000)[1], add_post(80, "TCP", 8080))

        # The device type alone: the description is read, but no service carries that type.
        run = self.play(normal_scenario(desc, ssdp=answer_search(fakegw.ssdp_answer(st=IGD))),
                        SEARCH_AND_ADD)
        self.assertAnswers(run, ["true", "true", "false", "false"])
        self.assertEqual(run.requests(), [description_get()])

        # None of the three: nothing is fetched.
        run = self.play(normal_scenario(desc, ssdp=answer_search(fakegw.ssdp_answer(
            st="urn:schemas-upnp-org:service:WANIPConnection:2",
            usn="uuid:1::urn:schemas-upnp-org:service:WANIPConnection:2"))), SEARCH)
        self.assertAnswers(run, ["true", "true", "false"])
        self.assertNoTraffic(run)

    def test_location_header_spellings(self):
        for header in ("location: ", "Location:", "LoCaTiOn: \t  "):
            with self.subTest(header=header):
                answer = fakegw.ssdp_answer(location=DESC_URL + " \t ", location_header=header)
                run = self.play(normal_scenario(ssdp=answer_search(answer)), SEARCH)
                self.assertAnswers(run, ["true", "true", "true"])
                self.assertEqual(run.requests(5000), [description_get()])
        # A blank before the colon is another header name.
        answer = fakegw.ssdp_answer(location_header="LOCATION : ")
        run = self.play(normal_scenario(ssdp=answer_search(answer)), SEARCH)
        self.assertAnswers(run, ["true", "true", "false"])
        self.assertNoTraffic(run)

    def test_zero_byte_ends_the_datagram(self):
        # WANPPPConnection, preferred, is named only after the zero byte: WANIPConnection wins.
        answer = fakegw.ssdp_answer(extra_lines=["\0X-ALSO: " + WAN_PPP])
        services = [fakegw.service_xml(WAN_PPP, "/ctl/PPPConn", name="WANPPPConn"),
                    fakegw.service_xml(WAN_IP, "/ctl/IPConn")]
        run = self.play(normal_scenario(fakegw.description(services=services),
                                        ssdp=answer_search(answer)), SEARCH_AND_ADD)
        self.assertAnswers(run, ["true"] * 4)
        self.assertEqual(run.requests(5000)[1], add_post(80, "TCP", 8080))

        # A zero byte before the LOCATION line: no description URL.
        answer = fakegw.ssdp_answer(status="HTTP/1.1 200 OK\r\nX-NOTE: \0")
        run = self.play(normal_scenario(ssdp=answer_search(answer)), SEARCH)
        self.assertAnswers(run, ["true", "true", "false"])
        self.assertNoTraffic(run)

    def test_oversized_datagram_is_lost_and_the_search_goes_on(self):
        # Usable within its first 10240 bytes (pointing at port 5001), 10241 bytes long.  The
        # good answer comes half a second after the third receive, so the second batch goes
        # out first and the fourth receive reads it.
        big = fakegw.ssdp_answer(location=f"http://{GW}:5001/rootDesc.xml")
        big = big[:-2] + "X-PAD: " + "x" * (10241 - (len(big) - 2 + 7 + 4)) + "\r\n\r\n"
        self.assertEqual(len(big), 10241)
        scenario = normal_scenario(ssdp=answer_search(big, (3.5, fakegw.ssdp_answer())),
                                   extra_http={5001: serve(fakegw.http_answer(
                                       fakegw.description()))})
        run = self.play(scenario, SEARCH)
        self.assertAnswers(run, ["true", "true", "true"])
        self.assertSearchBatches(run, 2)
        self.assertNoTraffic(run, 5001)
        self.assertEqual(run.requests(5000), [description_get()])
        first = run.searches[0]["t"]
        self.assertTrue(2.5 <= run.searches[3]["t"] - first <= 4.5, run)
        self.assertTrue(3.7 <= run.connections(5000)[0]["t_connect"] - first <= 7.0, run)

    def test_empty_datagram_ends_the_search(self):
        run = self.play(normal_scenario(ssdp=answer_search("", fakegw.ssdp_answer())),
                        ["startSearch()", "wait-search(25000)", "isSearchEnd()",
                         "isSearchSucces()"])
        self.assertAnswers(run, ["true", "true", "true", "false"])
        self.assertSearchBatches(run, 1)
        self.assertNoTraffic(run)
        self.assertLess(run.ms(1) - run.ms(0), 4000, run)


if __name__ == "__main__":
    unittest.main()
