#include "description.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace portlink;

namespace {

const std::wstring kIp = L"urn:schemas-upnp-org:service:WANIPConnection:1";
const std::wstring kIp2 = L"urn:schemas-upnp-org:service:WANIPConnection:2";
const std::wstring kPpp = L"urn:schemas-upnp-org:service:WANPPPConnection:1";
const std::wstring kIgd = L"urn:schemas-upnp-org:device:InternetGatewayDevice:1";
const std::wstring kAuthority = L"192.168.77.1:5000";
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
    const DescriptionResult r = parseDescription(rest, type, descriptionUrl);
    return r.candidates.empty() ? std::wstring() : r.candidates.front().controlUrl;
}

} // namespace

TEST(PortlinkDescription, RequestByteForByte) {
    EXPECT_EQ(buildDescriptionRequest(L"/rootDesc.xml", kAuthority),
              L"GET /rootDesc.xml HTTP/1.1\r\n"
              L"HOST: 192.168.77.1:5000\r\n"
              L"ACCEPT-LANGUAGE: en\r\n"
              L"\r\n");
    EXPECT_EQ(buildDescriptionRequest(L"", L"gw"),
              L"GET  HTTP/1.1\r\nHOST: gw\r\nACCEPT-LANGUAGE: en\r\n\r\n");
}

TEST(PortlinkDescription, BaseUrlEndsWithOneSlash) {
    const std::wstring services = service(kIp, L"/ctl/IPConn");
    DescriptionResult r = parseDescription(description(L"", services), kIp, kDescriptionUrl);
    EXPECT_EQ(r.baseUrl, L"http://192.168.77.1:5000/");
    EXPECT_EQ(controlOf(description(L"", services)), L"http://192.168.77.1:5000/ctl/IPConn");

    const std::wstring noSlash = L"<URLBase>http://192.168.77.1:80</URLBase>";
    r = parseDescription(description(noSlash, services), kIp, kDescriptionUrl);
    EXPECT_EQ(r.baseUrl, L"http://192.168.77.1:80/");
    EXPECT_EQ(controlOf(description(noSlash, services)), L"http://192.168.77.1:80/ctl/IPConn");

    const std::wstring slash = L"<URLBase>http://192.168.77.1/</URLBase>";
    r = parseDescription(description(slash, services), kIp, kDescriptionUrl);
    EXPECT_EQ(r.baseUrl, L"http://192.168.77.1/");
    EXPECT_EQ(controlOf(description(slash, services)), L"http://192.168.77.1/ctl/IPConn");

    // The base is set even when no service matches.
    r = parseDescription(description(L"", L""), kIp, kDescriptionUrl);
    EXPECT_EQ(r.baseUrl, L"http://192.168.77.1:5000/");
    EXPECT_TRUE(r.candidates.empty());
}

TEST(PortlinkDescription, ControlUrlsMadeAbsoluteOnTheDescriptionsHost) {
    const std::wstring base = L"<URLBase>http://192.168.77.1:5001/base</URLBase>";
    const struct {
        std::wstring urlBase, control, descriptionUrl, stored; // stored empty: not usable
    } cases[] = {
        {L"", L"/ctl/IPConn", kDescriptionUrl, L"http://192.168.77.1:5000/ctl/IPConn"},
        {L"", L"//x", kDescriptionUrl, L"http://192.168.77.1:5000//x"},
        {base, L"/ctl/IPConn", kDescriptionUrl, L"http://192.168.77.1:5001/base/ctl/IPConn"},
        // Absolute, on the same host (any port).
        {base, L"http://192.168.77.1:1234/ctl", kDescriptionUrl, L"http://192.168.77.1:1234/ctl"},
        // Relative: joined to URLBase, else to the description URL's folder.
        {base, L"ctl/IPConn", kDescriptionUrl, L"http://192.168.77.1:5001/base/ctl/IPConn"},
        {L"<URLBase>http://192.168.77.1:5001/base/</URLBase>", L"ctl/IPConn", kDescriptionUrl,
         L"http://192.168.77.1:5001/base/ctl/IPConn"},
        {L"", L"ctl/IPConn", kDescriptionUrl, L"http://192.168.77.1:5000/dev/ctl/IPConn"},
        {L"", L"ctl", L"http://192.168.77.1:5000/a/d.xml?from=/b/c", L"http://192.168.77.1:5000/a/ctl"},
        {L"", L"ctl", L"http://192.168.77.1:5000", L"http://192.168.77.1:5000/ctl"},
        {L"", L"ctl?u=http://10.9.9.9/", kDescriptionUrl,
         L"http://192.168.77.1:5000/dev/ctl?u=http://10.9.9.9/"},
        // Another host, however it is reached, is never used.
        {L"", L"http://10.9.9.9:1234/ctl", kDescriptionUrl, L""},
        {L"", L"http://127.0.0.1:5000/ctl", kDescriptionUrl, L""},
        {L"<URLBase>http://10.9.9.9/</URLBase>", L"/ctl/IPConn", kDescriptionUrl, L""},
        {L"<URLBase>http://10.9.9.9/</URLBase>", L"ctl/IPConn", kDescriptionUrl, L""},
        // Blanks and control characters would reach the request line: not usable.
        {L"", L" /ctl/IPConn", kDescriptionUrl, L""},
        {L"", L"/upnp/co\r\nae\r\nntrol", kDescriptionUrl, L""},
        {L"", L"/ctl/IP Conn", kDescriptionUrl, L""},
        {L"", L"", kDescriptionUrl, L""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(controlOf(description(c.urlBase, service(kIp, c.control)), kIp,
                            c.descriptionUrl),
                  c.stored)
            << std::string(c.control.begin(), c.control.end());
    }
}

TEST(PortlinkDescription, ServiceTypeMustMatchTheMarkerExactly) {
    for (const wchar_t *element :
         {L"<serviceType> urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>",
          L"<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1\r\n</serviceType>",
          L"<u:serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</u:serviceType>",
          L"<serviceType a=\"b\">urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>",
          L"<serviceType>urn:schemas-upnp-org:service:WANIPConnection:3</serviceType>",
          L"<servicetype>urn:schemas-upnp-org:service:WANIPConnection:1</servicetype>"}) {
        const std::wstring services = L"<service>" + std::wstring(element) +
                                      L"<controlURL>/ctl</controlURL></service>";
        EXPECT_EQ(controlOf(description(L"", services)), L"") << element;
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
             parseDescription(description(L"", services), named, kDescriptionUrl).candidates)
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
    // without a usable control URL does not.
    const std::wstring twice = service(kIp, L"/first") + service(kIp, L"http://10.9.9.9/x") +
                               service(kIp2, L"/v2") + service(kIp, L"/second");
    EXPECT_EQ(controls(twice, kIp),
              (std::vector<std::wstring>{kIp + at + L"/first", kIp + at + L"/second",
                                         kIp2 + at + L"/v2"}));
}

TEST(PortlinkDescription, CandidateServiceTypesInOrderEachOnce) {
    const std::wstring kPpp2 = L"urn:schemas-upnp-org:service:WANPPPConnection:2";
    EXPECT_EQ(serviceTypeCandidates(kPpp), (std::vector<std::wstring>{kPpp, kPpp2, kIp, kIp2}));
    EXPECT_EQ(serviceTypeCandidates(kIp), (std::vector<std::wstring>{kIp, kIp2, kPpp}));
    // No version 2 of a device type.
    EXPECT_EQ(serviceTypeCandidates(kIgd), (std::vector<std::wstring>{kIgd, kPpp, kIp, kIp2}));
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
        const DescriptionResult r =
            parseDescription(description(L"", c.services), c.named, kDescriptionUrl);
        ASSERT_FALSE(r.candidates.empty()) << c.note;
        EXPECT_EQ(r.candidates.front().serviceType, c.type) << c.note;
        EXPECT_EQ(r.candidates.front().controlUrl, L"http://192.168.77.1:5000" + c.control)
            << c.note;
    }
}
