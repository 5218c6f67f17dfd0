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

std::wstring controlOf(const std::wstring &rest, const std::wstring &type = kIp) {
    return parseDescription(rest, type, kAuthority).controlUrl;
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
    DescriptionResult r = parseDescription(description(L"", services), kIp, kAuthority);
    EXPECT_EQ(r.baseUrl, L"http://192.168.77.1:5000/");
    EXPECT_EQ(r.controlUrl, L"http://192.168.77.1:5000/ctl/IPConn");

    r = parseDescription(description(L"<URLBase>http://10.0.0.1:80</URLBase>", services), kIp,
                         kAuthority);
    EXPECT_EQ(r.baseUrl, L"http://10.0.0.1:80/");
    EXPECT_EQ(r.controlUrl, L"http://10.0.0.1:80/ctl/IPConn");

    r = parseDescription(description(L"<URLBase>http://10.0.0.1/</URLBase>", services), kIp,
                         kAuthority);
    EXPECT_EQ(r.baseUrl, L"http://10.0.0.1/");
    EXPECT_EQ(r.controlUrl, L"http://10.0.0.1/ctl/IPConn");

    // The base is set even when no service matches.
    r = parseDescription(description(L"", L""), kIp, kAuthority);
    EXPECT_EQ(r.baseUrl, L"http://192.168.77.1:5000/");
    EXPECT_EQ(r.controlUrl, L"");
}

TEST(PortlinkDescription, OnlyControlUrlsWithLeadingSlashAreJoined) {
    const struct {
        const wchar_t *control;
        const wchar_t *stored;
    } cases[] = {
        {L"/ctl/IPConn", L"http://192.168.77.1:5000/ctl/IPConn"},
        {L"//x", L"http://192.168.77.1:5000//x"},
        {L"http://10.9.9.9:1234/ctl", L"http://10.9.9.9:1234/ctl"},
        {L"ctl/IPConn", L"ctl/IPConn"},
        {L" /ctl/IPConn", L" /ctl/IPConn"},
        {L"", L""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(controlOf(description(L"", service(kIp, c.control))), c.stored) << c.control;
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

TEST(PortlinkDescription, ChosenTypeDecidesWhicheverIsListedFirst) {
    const std::wstring both = service(kIp, L"/ip") + service(kPpp, L"/ppp");
    EXPECT_EQ(controlOf(description(L"", both), kPpp), L"http://192.168.77.1:5000/ppp");
    EXPECT_EQ(controlOf(description(L"", both), kIp), L"http://192.168.77.1:5000/ip");

    // Two services of the same type: the first one counts.
    const std::wstring twice = service(kIp, L"/first") + service(kIp, L"/second");
    EXPECT_EQ(controlOf(description(L"", twice)), L"http://192.168.77.1:5000/first");

    // A device type names no service: the other candidates decide, WANPPPConnection first.
    EXPECT_EQ(controlOf(description(L"", both), kIgd), L"http://192.168.77.1:5000/ppp");
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
            parseDescription(description(L"", c.services), c.named, kAuthority);
        EXPECT_EQ(r.serviceType, c.type) << c.note;
        EXPECT_EQ(r.controlUrl, L"http://192.168.77.1:5000" + c.control) << c.note;
    }
}
