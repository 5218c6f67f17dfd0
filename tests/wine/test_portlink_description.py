"""The device description as portlink reads it, one description variant per run: which
connection service and control URL it records (seen by where the SOAP POST goes and the
service type it names), how a relative control URL is joined, how the connection status
decides between several candidates, or why it finds none; also the HOST header, the default
port and an empty path in the request lines."""
import unittest

from testbed import fakegw
from tests.wine.portlink_fixture import (GW, IGD, THIRD, WAN_IP, WAN_IP2, WAN_PPP,
                                         PortlinkGroup, add_post, answer_search, control_post,
                                         delete_post, description_get, normal_scenario, serve)

ROAD = ["startSearch()", "wait-search(25000)", "isSearchSucces()",
        "addNATPortMapping(8080,80,1)", "removeNATPortMapping(80,1)"]
OK = ["true"] * 5
NO_SERVICE = ["true", "true", "false", "false", "false"]
# As shipped boxes do: answers every search, WANPPPConnection first.
EVERY_SEARCH = answer_search(*(fakegw.ssdp_answer(st=st) for st in (WAN_PPP, WAN_IP, IGD)))
PPP2 = "urn:schemas-upnp-org:service:WANPPPConnection:2"
DSL_IP = "urn:dslforum-org:service:WANIPConnection:1"
# Another LAN host's listener: nothing may reach it.
AT_THIRD = {f"{THIRD}:5000": serve(fakegw.soap_answer())}


def with_service(control_url=None, **service):
    return fakegw.description(services=[fakegw.service_xml(WAN_IP, control_url, **service)])


class Description(PortlinkGroup):

    @classmethod
    def prepare_lan(cls):
        cls.add_third_host()

    def control_answers(self, port):
        return {port: serve(fakegw.soap_answer())}

    def test_url_base_with_and_without_trailing_slash(self):
        for base in (f"http://{GW}:5001/", f"http://{GW}:5001"):
            with self.subTest(base=base):
                desc = fakegw.description(url_base=base)
                run = self.play(normal_scenario(desc, extra_http=self.control_answers(5001)),
                                ROAD)
                self.assertAnswers(run, OK)
                self.assertEqual(run.requests(5000), [description_get()])
                authority = f"{GW}:5001"
                self.assertEqual(run.requests(5001), [
                    add_post(80, "TCP", 8080, authority=authority),
                    delete_post(80, "TCP", authority=authority)])

    def test_absolute_control_url_is_used_unchanged(self):
        desc = fakegw.description(url_base=f"http://{GW}:5001/", services=[
            fakegw.service_xml(WAN_IP, f"http://{GW}:5002/abs/ctl?x=1")])
        run = self.play(normal_scenario(desc, extra_http={**self.control_answers(5001),
                                                          **self.control_answers(5002)}),
                        ROAD)
        self.assertAnswers(run, OK)
        self.assertNoTraffic(run, 5001)
        self.assertEqual(run.requests(5002), [
            add_post(80, "TCP", 8080, path="/abs/ctl?x=1", authority=f"{GW}:5002"),
            delete_post(80, "TCP", path="/abs/ctl?x=1", authority=f"{GW}:5002")])

    def test_relative_control_url_is_resolved(self):
        # Against URLBase when it is on the description's host, else against the description
        # URL, as RFC 3986 resolves references; XML white space around the value is dropped.
        cases = [(f"http://{GW}:5000/base", "/rootDesc.xml", "ctl/IPConn", "/ctl/IPConn"),
                 (None, "/dev/rootDesc.xml", "ctl/IPConn", "/dev/ctl/IPConn"),
                 (None, "/dev/rootDesc.xml", "../ctl/IPConn", "/ctl/IPConn"),
                 (None, "/rootDesc.xml", "\r\n  /ctl/IPConn\r\n", "/ctl/IPConn"),
                 (f"http://{THIRD}:5000/", "/dev/rootDesc.xml", "/ctl/IPConn", "/ctl/IPConn")]
        for base, location, control, path in cases:
            with self.subTest(base=base, location=location, control=control):
                desc = fakegw.description(url_base=base, services=[
                    fakegw.service_xml(WAN_IP, control)])
                run = self.play(normal_scenario(desc, ssdp=answer_search(fakegw.ssdp_answer(
                    location=f"http://{GW}:5000{location}")), extra_http=AT_THIRD), ROAD)
                self.assertAnswers(run, OK)
                self.assertEqual(run.requests(), [description_get(path=location),
                                                  add_post(80, "TCP", 8080, path=path),
                                                  delete_post(80, "TCP", path=path)])

    def test_descriptions_without_a_usable_service(self):
        cases = {
            "empty controlURL": with_service(""),
            "blank inside the controlURL": with_service("/ctl/IP Conn"),
            "controlURL on another LAN host": with_service(f"http://{THIRD}:5000/ctl/IPConn"),
            "blanks around the service type": with_service(
                "/ctl/IPConn", type_element=f"<serviceType> {WAN_IP} </serviceType>"),
            "line break before the service type": with_service(
                "/ctl/IPConn", type_element=f"<serviceType>\r\n{WAN_IP}</serviceType>"),
            "prefixed serviceType": with_service(
                "/ctl/IPConn", type_element=f"<u:serviceType>{WAN_IP}</u:serviceType>"),
            "serviceType with an attribute": with_service(
                "/ctl/IPConn", type_element=f"<serviceType a=\"1\">{WAN_IP}</serviceType>"),
            "controlURL before serviceType": with_service("/ctl/IPConn", control_first=True),
            "service beyond 10240 bytes": fakegw.description(padding=10240),
            "no </service> after the type": fakegw.description(services=[
                f"<service><serviceType>{WAN_IP}</serviceType>"
                "<controlURL>/ctl/IPConn</controlURL>"]).replace("</service>", "</servic>"),
        }
        for name, desc in cases.items():
            with self.subTest(name):
                run = self.play(normal_scenario(desc, extra_http=AT_THIRD), ROAD)
                self.assertAnswers(run, NO_SERVICE)
                self.assertEqual(run.requests(), [description_get()])

    def test_long_description_within_the_limit(self):
        # An answer of exactly 10240 bytes, the whole buffer: read in full and searched.
        padding = 7
        while len(fakegw.http_answer(fakegw.description(padding=padding))) < 10240:
            padding += 1
        desc = fakegw.description(padding=padding)
        self.assertEqual(len(fakegw.http_answer(desc)), 10240)
        run = self.play(normal_scenario(desc), ROAD)
        self.assertAnswers(run, OK)

    def test_connection_service_chosen_from_the_description(self):
        # (Where two candidates are listed, the GetStatusInfo questions are left out: answered
        # without a status, they keep the first; see test_connected_candidate_is_taken.)
        ip2 = fakegw.service_xml(WAN_IP2, "/ctl/IPConn")
        ppp = fakegw.service_xml(WAN_PPP, "/ctl/PPPConn", name="WANPPPConn")
        ip_at_third = fakegw.service_xml(WAN_IP, f"http://{THIRD}:5000/ctl/IPConn")
        cases = {
            # As shipped: answers every search, WANPPPConnection first, describes IGDv2.
            "answers all three, describes only IP:2": (EVERY_SEARCH, [ip2], WAN_IP2, "/ctl/IPConn"),
            "PPP-only router answering the IP search": (None, [ppp], WAN_PPP, "/ctl/PPPConn"),
            "IP:1 named, PPP:1 listed before IP:2": (None, [ppp, ip2], WAN_IP2, "/ctl/IPConn"),
            "IP:1 named but on another host, PPP:1": (None, [ip_at_third, ppp], WAN_PPP,
                                                      "/ctl/PPPConn"),
            "a PPP:2 box answering the IP search": (None, [fakegw.service_xml(
                PPP2, "/ctl/PPPConn", name="WANPPPConn")], PPP2, "/ctl/PPPConn"),
            "a dslforum-org box": (None, [fakegw.service_xml(DSL_IP, "/upnp/control/wanip")],
                                   DSL_IP, "/upnp/control/wanip"),
        }
        for name, (ssdp, services, service_type, path) in cases.items():
            with self.subTest(name):
                run = self.play(normal_scenario(fakegw.description(services=services), ssdp=ssdp,
                                                extra_http=AT_THIRD), ROAD)
                self.assertAnswers(run, OK)
                self.assertNoTraffic(run, address=THIRD)
                self.assertEqual(run.requests(questions=False), [
                    description_get(),
                    add_post(80, "TCP", 8080, service_type=service_type, path=path),
                    delete_post(80, "TCP", service_type=service_type, path=path)])

    def test_connected_candidate_is_taken(self):
        # An idle WANPPPConnection beside the WANIPConnection in use, in one connection device
        # or in two (IP first there): the candidates are asked GetStatusInfo in candidate
        # order, the named PPP first, until one is connected; with none, the first is kept.
        ppp = (WAN_PPP, "/ctl/PPPConn")
        ip = (WAN_IP, "/ctl/IPConn")
        ppp_xml = fakegw.service_xml(*ppp, name="WANPPPConn")
        ip_xml = fakegw.service_xml(*ip)
        one_device = fakegw.description(services=[ppp_xml, ip_xml])
        two_devices = fakegw.description(services=[ip_xml], second_services=[ppp_xml])

        def status(service, text):
            return fakegw.status_info_answer(text, service[0])

        cases = {  # description, answers to the questions asked, the service used
            "one device, IP connected": (
                one_device, [(ppp, status(ppp, "Disconnected")), (ip, status(ip, "Connected"))],
                ip),
            "two devices, IP up": (
                two_devices, [(ppp, status(ppp, "Disconnected")), (ip, status(ip, "Up"))], ip),
            "over DSL, PPP connected": (one_device, [(ppp, status(ppp, "Connected"))], ppp),
            "none connected": (
                one_device, [(ppp, fakegw.soap_fault(401, "Invalid Action")),
                             (ip, status(ip, "Disconnected"))], ppp),
        }
        for name, (desc, asked, (service_type, path)) in cases.items():
            with self.subTest(name):
                answers = [a for _, a in asked] + [fakegw.soap_answer()]
                run = self.play(normal_scenario(desc, control_answers=answers,
                                                ssdp=EVERY_SEARCH), ROAD)
                self.assertAnswers(run, OK)
                self.assertEqual(run.requests(), [description_get()] + [
                    control_post("GetStatusInfo", "", service_type=t, path=p)
                    for (t, p), _ in asked] + [
                    add_post(80, "TCP", 8080, service_type=service_type, path=path),
                    delete_post(80, "TCP", service_type=service_type, path=path)])

    def test_other_service_control_url_is_never_taken(self):
        # The chosen type's service has no controlURL; the next service's one, of a type that
        # is no candidate, is not used.
        services = [f"<service><serviceType>{WAN_IP}</serviceType></service>",
                    fakegw.service_xml("urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1",
                                       "/ctl/CmnIfCfg", name="WANCommonIFC")]
        run = self.play(normal_scenario(fakegw.description(services=services)), ROAD)
        self.assertAnswers(run, NO_SERVICE)

    def test_default_port_and_bare_host(self):
        location = f"http://{GW}/rootDesc.xml"
        scenario = normal_scenario(ssdp=answer_search(fakegw.ssdp_answer(location=location)))
        scenario["http"] = {"80": scenario["http"]["5000"]}
        run = self.play(scenario, ROAD)
        self.assertAnswers(run, OK)
        self.assertEqual(run.requests(80), [description_get(authority=GW),
                                            add_post(80, "TCP", 8080, authority=GW),
                                            delete_post(80, "TCP", authority=GW)])

    def test_empty_paths_are_requested_as_the_root(self):
        location = f"http://{GW}:5000"
        desc = with_service(f"http://{GW}:5001")
        run = self.play(normal_scenario(desc, ssdp=answer_search(
            fakegw.ssdp_answer(location=location)), extra_http=self.control_answers(5001)),
                        ROAD)
        self.assertAnswers(run, OK)
        self.assertEqual(run.requests(5000), [description_get(path="/")])
        self.assertTrue(run.requests(5000)[0].startswith("GET / HTTP/1.1\r\n"))
        self.assertEqual(run.requests(5001), [
            add_post(80, "TCP", 8080, path="/", authority=f"{GW}:5001"),
            delete_post(80, "TCP", path="/", authority=f"{GW}:5001")])


if __name__ == "__main__":
    unittest.main()
