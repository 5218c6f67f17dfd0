"""Gateway discovery against the scripted fake gateway: the M-SEARCH batches, which answer
datagram counts and how it is read (status, search target preference, LOCATION spellings,
zero bytes, oversized and empty datagrams, unusable ones that are dropped, answers that
name another host than their sender)."""
import unittest

from testbed import fakegw
from tests.wine.portlink_fixture import (DESC_URL, GW, IGD, THIRD, WAN_IP, WAN_IP2, WAN_PPP,
                                         PortlinkGroup, add_post, answer_search, delete_post,
                                         description_get, normal_scenario, serve)

SEARCH = ["startSearch()", "wait-search(25000)", "isSearchSucces()"]
SEARCH_AND_ADD = SEARCH + ["addNATPortMapping(8080,80,1)"]
# Where unusable answers point: nothing listens there, so taking one would fail the search.
ELSEWHERE = f"http://{GW}:5001/rootDesc.xml"


class Discovery(PortlinkGroup):

    @classmethod
    def prepare_lan(cls):
        cls.add_third_host()

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

    def test_two_devices_first_usable_datagram_counts(self):
        second = fakegw.ssdp_answer(location=f"http://{GW}:5001/rootDesc.xml")
        scenario = normal_scenario(ssdp=answer_search(fakegw.ssdp_answer(), second),
                                   extra_http={5001: serve(fakegw.http_answer(
                                       fakegw.description()))})
        run = self.play(scenario, SEARCH)
        self.assertAnswers(run, ["true", "true", "true"])
        self.assertEqual(len(run.record["ssdp_sent"]), 2)
        self.assertEqual(run.requests(5000), [description_get()])
        self.assertNoTraffic(run, 5001)

        # A uuid-only answer, a 404 and one without LOCATION (then sixteen of them) come
        # first, all at once.  Every waiting datagram is read at each poll, so the gateway's
        # answer behind them decides at the first one, a second after the batch.
        uuid = "uuid:3d3cec3a-8cf0-11e0-98ee-001a6bd2d07b"
        kinds = [fakegw.ssdp_answer(st=uuid, usn=uuid, location=ELSEWHERE),
                 fakegw.ssdp_answer(status="HTTP/1.1 404 Not Found", location=ELSEWHERE),
                 fakegw.ssdp_answer(include_location=False)]
        for count in (3, 16):
            with self.subTest(unusable=count):
                unusable = [kinds[i % 3] for i in range(count)]
                run = self.play(normal_scenario(ssdp=answer_search(*unusable,
                                                                   fakegw.ssdp_answer())),
                                SEARCH)
                self.assertAnswers(run, ["true", "true", "true"])
                self.assertSearchBatches(run, 1)
                self.assertEqual(run.requests(), [description_get()])
                first = run.searches[0]["t"]
                self.assertTrue(0.8 <= run.connections(5000)[0]["t_connect"] - first <= 3.0,
                                run)

    def test_unusable_datagrams_are_dropped(self):
        # Each is dropped and the search goes on; the gateway's answer right behind it decides.
        # Another LAN host listens at THIRD:5000: nothing may reach it.
        cases = {
            "404": fakegw.ssdp_answer(status="HTTP/1.1 404 Not Found", location=ELSEWHERE),
            "one word": fakegw.ssdp_answer(status="HTTP/1.1", location=ELSEWHERE),
            "302": fakegw.ssdp_answer(status="HTTP/1.1 302 Found", location=ELSEWHERE),
            "none of the three targets": fakegw.ssdp_answer(
                st=WAN_IP2, usn=f"uuid:1::{WAN_IP2}", location=ELSEWHERE),
            "blank before the colon": fakegw.ssdp_answer(location=ELSEWHERE,
                                                         location_header="LOCATION : "),
            "zero byte before LOCATION": fakegw.ssdp_answer(
                status="HTTP/1.1 200 OK\r\nX-NOTE: \0", location=ELSEWHERE),
            "empty": "",
            "blank LOCATION value": fakegw.ssdp_answer(location=""),
            "LOCATION naming another LAN host": fakegw.ssdp_answer(
                location=f"http://{THIRD}:5000/rootDesc.xml"),
        }
        third = {f"{THIRD}:5000": serve(fakegw.http_answer(fakegw.description()))}
        for name, unusable in cases.items():
            with self.subTest(name):
                run = self.play(normal_scenario(ssdp=answer_search(unusable,
                                                                   fakegw.ssdp_answer()),
                                                extra_http=third), SEARCH)
                self.assertAnswers(run, ["true", "true", "true"])
                self.assertSearchBatches(run, 1)
                self.assertEqual(run.requests(), [description_get()])

    def test_another_host_pointing_at_loopback_is_dropped(self):
        # A third LAN host answers first and names the searcher's own loopback; the gateway's
        # answer 200 ms later decides, and nothing connects to 127.0.0.1.
        loopback = fakegw.ssdp_answer(location="http://127.0.0.1:5000/rootDesc.xml")
        run = self.play(normal_scenario(ssdp=answer_search((0, loopback, THIRD),
                                                           (0.2, fakegw.ssdp_answer()))),
                        SEARCH, local={"127.0.0.1:5000": serve(fakegw.http_answer(
                            fakegw.description()))})
        self.assertEqual([d["source"] for d in run.record["ssdp_sent"]], [THIRD, None])
        self.assertEqual(run.local, [], run)
        self.assertAnswers(run, ["true", "true", "true"])
        self.assertSearchBatches(run, 1)
        self.assertEqual(run.requests(), [description_get()])

    def test_search_target_preference(self):
        # (The GetStatusInfo questions to both candidates, answered without a status, are left
        # out here: the first candidate stays.  The description group checks them.)
        services = [fakegw.service_xml(WAN_IP, "/ctl/IPConn"),
                    fakegw.service_xml(WAN_PPP, "/ctl/PPPConn", name="WANPPPConn")]
        desc = fakegw.description(services=services)
        # Both connection services named (IP first): WANPPPConnection wins, although the
        # description lists WANIPConnection first.
        both = fakegw.ssdp_answer(st=WAN_IP, usn=f"uuid:1::{WAN_PPP}")
        run = self.play(normal_scenario(desc, ssdp=answer_search(both)), SEARCH_AND_ADD)
        self.assertAnswers(run, ["true"] * 4)
        self.assertEqual(run.requests(5000, questions=False), [
            description_get(), add_post(80, "TCP", 8080, service_type=WAN_PPP,
                                        path="/ctl/PPPConn")])

        # The device type and WANIPConnection: WANIPConnection wins.
        run = self.play(normal_scenario(desc, ssdp=answer_search(
            fakegw.ssdp_answer(st=IGD, usn=f"uuid:1::{WAN_IP}"))), SEARCH_AND_ADD)
        self.assertAnswers(run, ["true"] * 4)
        self.assertEqual(run.requests(5000, questions=False)[1], add_post(80, "TCP", 8080))

        # The device type alone names no service: the description's WANPPPConnection is the
        # first other candidate it holds.
        run = self.play(normal_scenario(desc, ssdp=answer_search(fakegw.ssdp_answer(st=IGD))),
                        SEARCH_AND_ADD)
        self.assertAnswers(run, ["true"] * 4)
        self.assertEqual(run.requests(5000, questions=False)[1], add_post(
            80, "TCP", 8080, service_type=WAN_PPP, path="/ctl/PPPConn"))

    def test_location_header_spellings(self):
        # (A blank before the colon makes another header name: see the dropped datagrams.)
        for header in ("location: ", "Location:", "LoCaTiOn: \t  "):
            with self.subTest(header=header):
                answer = fakegw.ssdp_answer(location=DESC_URL + " \t ", location_header=header)
                run = self.play(normal_scenario(ssdp=answer_search(answer)), SEARCH)
                self.assertAnswers(run, ["true", "true", "true"])
                self.assertEqual(run.requests(5000), [description_get()])

    def test_zero_byte_ends_the_datagram(self):
        # WANPPPConnection, preferred, is named only after the zero byte: WANIPConnection wins
        # (the GetStatusInfo questions left out, as in the target preference).
        answer = fakegw.ssdp_answer(extra_lines=["\0X-ALSO: " + WAN_PPP])
        services = [fakegw.service_xml(WAN_PPP, "/ctl/PPPConn", name="WANPPPConn"),
                    fakegw.service_xml(WAN_IP, "/ctl/IPConn")]
        run = self.play(normal_scenario(fakegw.description(services=services),
                                        ssdp=answer_search(answer)), SEARCH_AND_ADD)
        self.assertAnswers(run, ["true"] * 4)
        self.assertEqual(run.requests(5000, questions=False)[1], add_post(80, "TCP", 8080))
        # (A zero byte before the LOCATION line leaves no description URL: see the dropped
        # datagrams.)

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


if __name__ == "__main__":
    unittest.main()
