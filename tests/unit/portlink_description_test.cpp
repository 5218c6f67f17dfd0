#include "description.h"
#include "ssdp_v6.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace portlink;

namespace {

const std::wstring kIp = L"urn:schemas-upnp-org:service:WANIPConnection:1";
const std::wstring kIp2 = L"urn:schemas-upnp-org:service:WANIPConnection:2";
const std::wstring kPpp = L"urn:schemas-upnp-org:service:WANPPPConnection:1";
const std::wstring kIgd = L"urn:schemas-upnp-org:device:InternetGatewayDevice:1";
const std::wstring kDescriptionUrl = L"http://192.168.77.1:5000/dev/rootDesc.xml";

std::wstring service(const std::wstring &type, const std::wstring &control) {
    return L"<service>\r\n<serviceType>" + type + L"</serviceType>\r\n"
           L"<serviceId>urn:upnp-org:serviceId:X</serviceId>\r\n"
           L"<controlURL>" + control + L"</controlURL>\r\n"
           L"<eventSubURL>/evt</eventSubURL>\r\n</service>\r\n";
}

std::wstring description(const std::wstring &urlBase, const std::wstring &services) {
    return L"\nContent-Type: text/xml\r\n\r\n<?xml version=\"1.0\"?>\r\n<root>" + urlBase +
           L"<device><serviceList>" + services + L"</serviceList></device></root>\r\n";
}

// The control URL of the best candidate; empty when there is none.
std::wstring controlOf(const std::wstring &rest, const std::wstring &type = kIp,
                       const std::wstring &descriptionUrl = kDescriptionUrl) {
    const std::vector<ServiceCandidate> found = parseDescription(rest, type, descriptionUrl);
    return found.empty() ? std::wstring() : found.front().controlUrl;
}

} // namespace

TEST(PortlinkDescription, RequestByteForByte) {
    EXPECT_EQ(buildDescriptionRequest(L"/rootDesc.xml", L"192.168.77.1:5000"),
              L"GET /rootDesc.xml HTTP/1.1\r\n"
              L"HOST: 192.168.77.1:5000\r\n"
              L"ACCEPT-LANGUAGE: en\r\n"
              L"\r\n");
    EXPECT_EQ(buildDescriptionRequest(L"", L"gw"),
              L"GET  HTTP/1.1\r\nHOST: gw\r\nACCEPT-LANGUAGE: en\r\n\r\n");
}

TEST(PortlinkDescription, ControlUrlsMadeAbsoluteOnTheDescriptionsHost) {
    const std::wstring base = L"<URLBase>http://192.168.77.1:5001/base</URLBase>";
    const struct {
        std::wstring urlBase, control, descriptionUrl, stored; // stored empty: not usable
    } cases[] = {
        {L"", L"/ctl/IPConn", kDescriptionUrl, L"http://192.168.77.1:5000/ctl/IPConn"},
        {base, L"/ctl/IPConn", kDescriptionUrl, L"http://192.168.77.1:5001/ctl/IPConn"},
        {base, L"ctl/IPConn", kDescriptionUrl, L"http://192.168.77.1:5001/ctl/IPConn"},
        {L"<URLBase>http://192.168.77.1:5001/base/</URLBase>", L"ctl/IPConn", kDescriptionUrl,
         L"http://192.168.77.1:5001/base/ctl/IPConn"},
        {L"", L"ctl/IPConn", kDescriptionUrl, L"http://192.168.77.1:5000/dev/ctl/IPConn"},
        {L"", L"../ctl/IPConn", kDescriptionUrl, L"http://192.168.77.1:5000/ctl/IPConn"},
        {L"", L"//192.168.77.1:5002/ctl", kDescriptionUrl, L"http://192.168.77.1:5002/ctl"},
        {L"", L"ctl", L"http://192.168.77.1:5000/a/d.xml?from=/b/c", L"http://192.168.77.1:5000/a/ctl"},
        {L"", L"ctl?u=http://10.9.9.9/#f", kDescriptionUrl,
         L"http://192.168.77.1:5000/dev/ctl?u=http://10.9.9.9/"},
        // Absolute, on the same host (any port), query kept.
        {base, L"http://192.168.77.1:1234/ctl?WANIPConnection", kDescriptionUrl,
         L"http://192.168.77.1:1234/ctl?WANIPConnection"},
        // XML white space around the values, as pretty-printed descriptions have it.
        {L"", L"\r\n  /ctl/IPConn\r\n", kDescriptionUrl, L"http://192.168.77.1:5000/ctl/IPConn"},
        {L"<URLBase> http://192.168.77.1:5001/\t</URLBase>", L"ctl", kDescriptionUrl,
         L"http://192.168.77.1:5001/ctl"},
        // A URLBase on another host, or not http, is passed over for the description URL.
        {L"<URLBase>http://10.9.9.9/</URLBase>", L"/ctl/IPConn", kDescriptionUrl,
         L"http://192.168.77.1:5000/ctl/IPConn"},
        {L"<URLBase>http://0.0.0.0:5000/</URLBase>", L"ctl/IPConn", kDescriptionUrl,
         L"http://192.168.77.1:5000/dev/ctl/IPConn"},
        {L"<URLBase>ftp://192.168.77.1:5001/</URLBase>", L"ctl", kDescriptionUrl,
         L"http://192.168.77.1:5000/dev/ctl"},
        // Another host, however it is reached, is never used.
        {L"", L"http://10.9.9.9:1234/ctl", kDescriptionUrl, L""},
        {L"", L"//127.0.0.1:5000/ctl", kDescriptionUrl, L""},
        {L"", L"ctl:5000", kDescriptionUrl, L""},
        // Blanks and control characters would reach the request line: not usable.
        {L"", L"/upnp/co\r\nae\r\nntrol", kDescriptionUrl, L""},
        {L"", L"/ctl/IP Conn", kDescriptionUrl, L""},
        {L"", L"/ctl/IP\x7f", kDescriptionUrl, L""},
        {L"", L"", kDescriptionUrl, L""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(controlOf(description(c.urlBase, service(kIp, c.control)), kIp,
                            c.descriptionUrl),
                  c.stored)
            << std::string(c.control.begin(), c.control.end());
    }
}

TEST(PortlinkDescription, ConnectionServiceTypesAsDeclared) {
    const struct {
        const wchar_t *element;
        bool usable;
    } cases[] = {
        {L"<serviceType>urn:schemas-upnp-org:service:WANPPPConnection:2</serviceType>", true},
        {L"<serviceType>urn:schemas-upnp-org:service:WANIPConnection:3</serviceType>", true},
        {L"<serviceType>urn:schemas-upnp-org:service:WANIPConnection:10</serviceType>", true},
        {L"<serviceType>urn:dslforum-org:service:WANPPPConnection:1</serviceType>", true},
        {L"<serviceType>urn:dslforum-org:service:WANIPConnection:1</serviceType>", true},
        {L"<serviceType>urn:dslforum-org:service:WANIPConnection:2</serviceType>", false},
        {L"<serviceType>urn:schemas-upnp-org:service:WANIPConnection:0</serviceType>", false},
        {L"<serviceType>urn:schemas-upnp-org:service:WANIPConnection:01</serviceType>", false},
        {L"<serviceType>urn:schemas-upnp-org:service:WANIPConnection:</serviceType>", false},
        {L"<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1x</serviceType>", false},
        {L"<serviceType>urn:schemas-upnp-org:service:WANIPv6FirewallControl:1</serviceType>", false},
        {L"<serviceType> urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>", false},
        {L"<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1\r\n</serviceType>", false},
        {L"<u:serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</u:serviceType>", false},
        {L"<serviceType a=\"b\">urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>", false},
        {L"<servicetype>urn:schemas-upnp-org:service:WANIPConnection:1</servicetype>", false},
    };
    for (const auto &c : cases) {
        const std::wstring services = L"<service>" + std::wstring(c.element) +
                                      L"<controlURL>/ctl</controlURL></service>";
        EXPECT_EQ(controlOf(description(L"", services)),
                  c.usable ? L"http://192.168.77.1:5000/ctl" : L"")
            << c.element;
    }
}

TEST(PortlinkDescription, ControlUrlTakenOnlyWithinTheChosenService) {
    // Listed before its serviceType: not searched.
    std::wstring services = L"<service><controlURL>/ctl</controlURL><serviceType>" + kIp +
                            L"</serviceType></service>";
    EXPECT_EQ(controlOf(description(L"", services)), L"");

    // The chosen service lacks one; the next service's, of a type no candidate names, is not
    // taken.
    services = L"<service><serviceType>" + kIp + L"</serviceType></service>" +
               service(L"urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1", L"/cmn");
    EXPECT_EQ(controlOf(description(L"", services)), L"");

    // No "</service>" after the marker.
    services = L"<service><serviceType>" + kIp + L"</serviceType><controlURL>/ctl</controlURL>";
    EXPECT_EQ(controlOf(description(L"", services)), L"");
}

TEST(PortlinkDescription, EveryUsableServiceInCandidateOrder) {
    const auto controls = [](const std::wstring &services, const std::wstring &named) {
        std::vector<std::wstring> found;
        for (const ServiceCandidate &c :
             parseDescription(description(L"", services), named, kDescriptionUrl))
            found.push_back(c.serviceType + L" " + c.controlUrl);
        return found;
    };
    const std::wstring at = L" http://192.168.77.1:5000";
    const std::wstring both = service(kIp, L"/ip") + service(kPpp, L"/ppp");
    EXPECT_EQ(controls(both, kPpp), (std::vector<std::wstring>{kPpp + at + L"/ppp",
                                                               kIp + at + L"/ip"}));
    EXPECT_EQ(controls(both, kIp), (std::vector<std::wstring>{kIp + at + L"/ip",
                                                              kPpp + at + L"/ppp"}));
    // A device type names no service: the other candidates decide, WANPPPConnection first.
    EXPECT_EQ(controls(both, kIgd), (std::vector<std::wstring>{kPpp + at + L"/ppp",
                                                               kIp + at + L"/ip"}));
    // Two services of one type (two WAN connections) both count, in the order listed; one
    // without a usable control URL does not, nor a second one with the same control URL.
    const std::wstring kDsl = L"urn:dslforum-org:service:WANIPConnection:1";
    const std::wstring twice = service(kDsl, L"/dsl") + service(kIp, L"/first") +
                               service(kIp, L"http://10.9.9.9/x") + service(kIp2, L"/v2") +
                               service(kIp, L"/second") + service(kIp2, L"/first");
    EXPECT_EQ(controls(twice, kIp),
              (std::vector<std::wstring>{kIp + at + L"/first", kIp + at + L"/second",
                                         kIp2 + at + L"/v2", kDsl + at + L"/dsl"}));
    // A service element repeating its type marker is one service, whatever it repeats.
    std::wstring repeated = L"<service>";
    for (int i = 0; i < 137; ++i)
        repeated += L"<serviceType>" + kIp + L"</serviceType><controlURL>/c" +
                    std::to_wstring(i) + L"</controlURL>";
    EXPECT_EQ(controls(repeated + L"</service>", kIp),
              (std::vector<std::wstring>{kIp + at + L"/c0"}));
}

TEST(PortlinkDescription, LiveConnectionAskedOfTheFirstFourAtMost) {
    std::vector<ServiceCandidate> six;
    for (int i = 0; i < 6; ++i)
        six.push_back({kIp, L"http://192.168.77.1:5000/c" + std::to_wstring(i)});
    const struct {
        size_t count;
        int up; // the candidate that reports itself up; -1: none
        size_t chosen, asked;
    } cases[] = {{6, -1, 0, 4}, {6, 2, 2, 3}, {6, 4, 0, 4}, {1, -1, 0, 0}, {2, 1, 1, 2}};
    for (const auto &c : cases) {
        const std::vector<ServiceCandidate> candidates(six.begin(), six.begin() + c.count);
        size_t asked = 0;
        const size_t chosen = chooseLiveCandidate(candidates, [&](const ServiceCandidate &s) {
            ++asked;
            return s.controlUrl == L"http://192.168.77.1:5000/c" + std::to_wstring(c.up);
        });
        EXPECT_EQ(chosen, c.chosen) << c.count << " " << c.up;
        EXPECT_EQ(asked, c.asked) << c.count << " " << c.up;
    }
}

TEST(PortlinkDescription, FirstCandidateWithAControlUrlWins) {
    const struct {
        const wchar_t *note;
        std::wstring named, services, type, control;
    } cases[] = {
        {L"answers the PPP search, describes only IP:2", kPpp, service(kIp2, L"/ip2"), kIp2,
         L"/ip2"},
        {L"IP:1 named, PPP listed before IP:2", kIp,
         service(kPpp, L"/ppp") + service(kIp2, L"/ip2"), kIp2, L"/ip2"},
        {L"PPP-only router answering the IP search", kIp, service(kPpp, L"/ppp"), kPpp, L"/ppp"},
        {L"named service with an empty controlURL", kIp,
         service(kIp, L"") + service(kIp2, L"/ip2"), kIp2, L"/ip2"},
    };
    for (const auto &c : cases) {
        const std::vector<ServiceCandidate> r =
            parseDescription(description(L"", c.services), c.named, kDescriptionUrl);
        ASSERT_FALSE(r.empty()) << c.note;
        EXPECT_EQ(r.front().serviceType, c.type) << c.note;
        EXPECT_EQ(r.front().controlUrl, L"http://192.168.77.1:5000" + c.control)
            << c.note;
    }
}

TEST(PortlinkDescription, DeviceUuidsOfEveryUdn) {
    const std::wstring u36 = L"5f6e0b1c-3a2d-4e5f-8a9b-0c1d2e3f4a5b";
    const std::wstring longest(kMaxDeviceUuidLength, L'a');
    const auto udn = [](const std::wstring &text) { return L"<UDN>" + text + L"</UDN>"; };
    // A root device with the usual embedded WAN devices, as a gateway describes itself.
    const std::wstring nested = L"<device>" + udn(L"uuid:" + u36) + L"<deviceList><device>" +
                                udn(L"uuid:wan-1") + L"<deviceList><device>" +
                                udn(L"uuid:wanconn-1") + L"</device></deviceList></device>" +
                                L"</deviceList></device>";
    std::wstring many;
    for (int i = 0; i < 20; ++i)
        many += udn(L"uuid:d" + std::to_wstring(i));
    std::vector<std::wstring> sixteen;
    for (int i = 0; i < 16; ++i)
        sixteen.push_back(L"d" + std::to_wstring(i));
    const struct {
        std::wstring body;
        std::vector<std::wstring> uuids;
    } rows[] = {
        {nested, {u36, L"wan-1", L"wanconn-1"}},
        {udn(L"\r\n  UUID:Ab-C \t"), {L"Ab-C"}},
        {udn(L"uuid:") + udn(L"") + udn(L"urn:x") + udn(L"uuid:a b") + udn(L"uuid:a::b") +
             udn(L"uuid:" + longest + L"b") + udn(L"uuid:" + longest),
         {longest}},
        {udn(L"uuid:x") + udn(L"uuid:y") + udn(L" uuid:x"), {L"x", L"y"}},
        {udn(L"uuid:x") + L"<UDN>uuid:y", {L"x"}},
        {many, sixteen},
        {L"<udn>uuid:x</udn><UDN/>", {}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(deviceUdnsOf(description(L"", row.body)), row.uuids)
            << std::string(row.body.begin(), row.body.end());
    // The root device's identity is what its datagrams' USN names.
    EXPECT_EQ(deviceUdnsOf(nested).front(),
              deviceUuidOf(L"NOTIFY * HTTP/1.1\r\nUSN: uuid:" + u36 + L"::upnp:rootdevice\r\n"));
}
