#include "ipv6_text.h"
#include "pcp_ipv6.h"
#include "pinhole_choice.h"
#include "pinhole_soap.h"
#include "soap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace portlink;

namespace {

// Bytes from hex digit pairs; every other character is skipped.
std::vector<uint8_t> bytesOf(const std::string &text) {
    std::string digits;
    for (const char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    std::vector<uint8_t> out;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

// An address from text the parser must accept.
Ipv6Address ip(const wchar_t *text) {
    Ipv6Address a{};
    EXPECT_TRUE(parseIpv6(text, a)) << text;
    return a;
}

const Ipv6Address kStable = ip(L"2001:db8:77::14");
const MappingNonce kNonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

} // namespace

TEST(PortlinkPinhole, Rfc5952Text) {
    const std::pair<const wchar_t *, const wchar_t *> rows[] = {
        {L"2001:db8::1", L"2001:db8::1"},
        {L"2001:db8:0:0:1:0:0:1", L"2001:db8::1:0:0:1"}, // equal runs: the first
        {L"2001:0db8:0:0:0:0:2:1", L"2001:db8::2:1"},
        {L"2001:db8:0:1:1:1:1:1", L"2001:db8:0:1:1:1:1:1"}, // a lone zero group stays
        {L"2001:0:0:1:0:0:0:1", L"2001:0:0:1::1"},          // the longer run, though second
        {L"0:0:0:0:0:0:0:0", L"::"},
        {L"::1", L"::1"},
        {L"2001:DB8:A:BC:DEF:1234::", L"2001:db8:a:bc:def:1234::"},
        {L"1:2:3:4:5:6:7::", L"1:2:3:4:5:6:7:0"},
        {L"0:0:0:0:0:FFFF:c000:0201", L"::ffff:192.0.2.1"},
        {L"1:2:3:4:5:6:1.2.3.4", L"1:2:3:4:5:6:102:304"},
        // Only ::ffff:0:0/96 gets the dotted tail.
        {L"::192.0.2.1", L"::c000:201"},
        {L"::ff:c000:201", L"::ff:c000:201"},
        {L"100::ffff:c000:201", L"100::ffff:c000:201"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(formatIpv6(ip(row.first)), row.second) << row.first;
    EXPECT_EQ(ip(L"2001:db8::1"),
              (Ipv6Address{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

TEST(PortlinkPinhole, MalformedTextRejected) {
    const wchar_t *rows[] = {
        L"",
        L":",
        L":::",
        L"1",
        L"1:",
        L":1",
        L"1:2:3:4:5:6:7",
        L"1:2:3:4:5:6:7:8:9",
        L"1::2::3",
        L"2001:db8:::1",
        L"12345::",
        L"::g",
        L"::1:2:3:4:5:6:7:8",
        L"1:2:3:4::5:6:7:8",
        L" ::1",
        L"::1 ",
        L"fe80::1%1",
        L"[::1]",
        L"::1/64",
        L"1.2.3.4",
        L"::1.2.3",
        L"::1.2.3.256",
        L"::01.2.3.4",
        L"::1.2.3.4.5",
        L"::1.2.3.4:5",
        L"1:2:3:4:5:6:7:1.2.3.4",
        L"::a.2.3.4",
        L"1:2:3:4:5:6:7:\xff11",
    };
    for (const wchar_t *text : rows) {
        Ipv6Address parsed = kStable;
        EXPECT_FALSE(parseIpv6(text, parsed)) << text;
        EXPECT_EQ(parsed, kStable) << text;
    }
    EXPECT_TRUE(isLinkLocal(ip(L"febf::1")) && !isLinkLocal(ip(L"fec0::1")));
}

TEST(PortlinkPinhole, StableGlobalAddressesOfTheAdapterChosen) {
    using S = SuffixOrigin;
    using D = DadState;
    // chosen: 'P' preferred, 'D' chosen but not preferred, '-' not chosen.
    const struct {
        const char *what;
        uint32_t adapter;
        Ipv6Address address;
        SuffixOrigin suffix;
        DadState dad;
        uint32_t preferred, valid;
        char chosen;
    } rows[] = {
        {"stable (SLAAC)", 7, kStable, S::LinkLayerAddress, D::Preferred, 604800, ~0u, 'P'},
        {"stable (DHCPv6)", 7, kStable, S::Dhcp, D::Preferred, 3600, 7200, 'P'},
        {"stable, top of 2000::/3", 7, ip(L"3fff::1"), S::Manual, D::Preferred, ~0u, ~0u, 'P'},
        {"temporary", 7, kStable, S::Random, D::Preferred, 86400, ~0u, '-'},
        {"temporary, deprecated", 7, kStable, S::Random, D::Deprecated, 0, 3600, '-'},
        {"deprecated", 7, kStable, S::LinkLayerAddress, D::Deprecated, 0, ~0u, 'D'},
        {"deprecated, lifetime shown", 7, kStable, S::LinkLayerAddress, D::Deprecated, 60, 60, 'D'},
        {"deprecated, valid lifetime spent", 7, kStable, S::LinkLayerAddress, D::Deprecated, 0, 0,
         '-'},
        {"preferred, lifetime spent", 7, kStable, S::LinkLayerAddress, D::Preferred, 0, 600, 'D'},
        {"preferred, both lifetimes spent", 7, kStable, S::LinkLayerAddress, D::Preferred, 0, 0,
         '-'},
        {"tentative", 7, kStable, S::LinkLayerAddress, D::Tentative, 604800, ~0u, '-'},
        {"duplicate", 7, kStable, S::LinkLayerAddress, D::Duplicate, 604800, ~0u, '-'},
        {"invalid", 7, kStable, S::LinkLayerAddress, D::Invalid, 604800, ~0u, '-'},
        {"link-local", 7, ip(L"fe80::14"), S::LinkLayerAddress, D::Preferred, ~0u, ~0u, '-'},
        {"ULA", 7, ip(L"fd00:77::14"), S::LinkLayerAddress, D::Preferred, 604800, ~0u, '-'},
        {"below 2000::/3", 7, ip(L"1fff::1"), S::Manual, D::Preferred, ~0u, ~0u, '-'},
        {"other adapter", 8, kStable, S::LinkLayerAddress, D::Preferred, 604800, ~0u, '-'},
    };
    for (const auto &row : rows) {
        const HostIpv6Address record{row.adapter, row.address, PrefixOrigin::RouterAdvertisement,
                                     row.suffix,  row.dad,     row.preferred,
                                     row.valid};
        const std::vector<PinholeAddress> expected =
            row.chosen == '-' ? std::vector<PinholeAddress>{}
                              : std::vector<PinholeAddress>{{row.address, row.chosen == 'P'}};
        EXPECT_EQ(choosePinholeAddresses({record}, 7), expected) << row.what;
    }
    // In the list's order, each once, preferred when any of its records is.
    const Ipv6Address other = ip(L"2001:db8:77::99");
    const HostIpv6Address a{7, other, PrefixOrigin::Manual, S::Manual, D::Preferred, 60, 60};
    HostIpv6Address b = a, c = a;
    b.address = kStable;
    b.dadState = c.dadState = D::Deprecated;
    EXPECT_EQ(choosePinholeAddresses({c, b, a, b}, 7),
              (std::vector<PinholeAddress>{{other, true}, {kStable, false}}));
}

TEST(PortlinkPinhole, ArgumentsByteForByte) {
    EXPECT_EQ(addPinholeArguments(ip(L"2001:0DB8:0:0:0:0:0:2"), 5555, kProtocolTcp),
              L"<RemoteHost></RemoteHost><RemotePort>0</RemotePort>"
              L"<InternalClient>2001:db8::2</InternalClient><InternalPort>5555</InternalPort>"
              L"<Protocol>6</Protocol><LeaseTime>3600</LeaseTime>");
    EXPECT_EQ(updatePinholeArguments(65535),
              L"<UniqueID>65535</UniqueID><NewLeaseTime>3600</NewLeaseTime>");
    EXPECT_EQ(deletePinholeArguments(0), L"<UniqueID>0</UniqueID>");
    EXPECT_EQ(firewallStatusArguments(), L"");
}

TEST(PortlinkPinhole, AnswersRead) {
    const std::pair<const wchar_t *, int32_t> ids[] = {
        {L"0", 0},           {L"65535", 65535},    {L" 17 ", 17},
        {L"\r\n\t007\n", 7}, {L"65536", -1},       {L"-1", -1},
        {L"+1", -1},         {L"1a", -1},          {L"1 2", -1},
        {L"", -1},           {L"99999999999", -1}, {nullptr, -1}, // nullptr: no UniqueID element
    };
    for (const auto &row : ids) {
        const std::wstring answer = L"<u:AddPinholeResponse>" +
                                    (row.first ? argumentElement(L"UniqueID", row.first) : L"") +
                                    L"</u:AddPinholeResponse>";
        uint16_t id = 99;
        EXPECT_EQ(readPinholeId(answer, id), row.second < 0 ? ERR_PINHOLE_ANSWER : RESULT_OK)
            << answer;
        EXPECT_EQ(id, row.second < 0 ? 99 : row.second) << answer;
    }
    for (const uint32_t lease : {0u, 1u, 86400u, 86401u, ~0u})
        EXPECT_EQ(checkPinholeLease(lease) == RESULT_OK, lease == 1 || lease == 86400) << lease;

    const struct {
        const wchar_t *answer;
        bool read, enabled, allowed;
    } statuses[] = {
        {L"<FirewallEnabled> 1\n</FirewallEnabled><InboundPinholeAllowed>0</InboundPinholeAllowed>",
         true, true, false},
        {L"<InboundPinholeAllowed>true</InboundPinholeAllowed><FirewallEnabled>0</FirewallEnabled>",
         true, false, true},
        {L"<FirewallEnabled>1</FirewallEnabled>", false, false, false},
        {L"<FirewallEnabled>2</FirewallEnabled><InboundPinholeAllowed>1</InboundPinholeAllowed>",
         false, false, false},
    };
    for (const auto &row : statuses) {
        FirewallStatus status;
        EXPECT_EQ(readFirewallStatus(row.answer, status), row.read) << row.answer;
        EXPECT_EQ(status.firewallEnabled, row.enabled) << row.answer;
        EXPECT_EQ(status.inboundPinholeAllowed, row.allowed) << row.answer;
    }
}

TEST(PortlinkPinhole, FaultsClassified) {
    const struct {
        int32_t code, result;
        bool retry;
    } rows[] = {
        {606, ERR_PINHOLE_NOT_AUTHORIZED, false}, {701, ERR_PINHOLE_SPACE_FULL, true},
        {702, ERR_PINHOLES_OFF, false},           {703, ERR_PINHOLES_OFF, false},
        {704, ERR_NO_SUCH_PINHOLE, false},        {705, ERR_PINHOLE_ARGUMENTS, false},
        {706, ERR_PINHOLE_ARGUMENTS, false},      {707, ERR_PINHOLE_ARGUMENTS, false},
        {708, ERR_PINHOLE_ARGUMENTS, false},      {402, ERR_PINHOLE_ARGUMENTS, false},
        {501, ERR_PINHOLE_FAULT, true},           {-1, ERR_PINHOLE_FAULT, true},
    };
    for (const auto &row : rows) {
        const std::wstring fault = L"<s:Fault><detail><UPnPError><errorCode>" +
                                   std::to_wstring(row.code) + L"</errorCode></UPnPError>";
        const PinholeFault f = classifyPinholeFault(upnpErrorCode(fault));
        EXPECT_EQ(f.result, row.result) << row.code;
        EXPECT_EQ(f.retryLater, row.retry) << row.code;
    }
}

namespace {

std::wstring service(const std::wstring &type, const std::wstring &control) {
    return L"<service><serviceType>" + type + L"</serviceType><serviceId>x</serviceId>" +
           L"<controlURL>" + control + L"</controlURL><eventSubURL>/e</eventSubURL></service>";
}

// IGD:2 as the gateway daemon lays it out: the firewall service beside WANIPConnection:2 in
// the WANConnectionDevice.
std::wstring igd2(const std::wstring &urlBase, const std::wstring &type,
                  const std::wstring &control) {
    const std::wstring device = L"<device><deviceType>urn:schemas-upnp-org:device:";
    return L"\r\n<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\">" +
           urlBase + device + L"InternetGatewayDevice:2</deviceType><serviceList>" +
           service(L"urn:schemas-upnp-org:service:Layer3Forwarding:1", L"/ctl/L3F") +
           L"</serviceList><deviceList>" + device + L"WANDevice:2</deviceType><deviceList>" +
           device + L"WANConnectionDevice:2</deviceType><serviceList>" +
           service(L"urn:schemas-upnp-org:service:WANIPConnection:2", L"/ctl/IPConn") +
           service(type, control) +
           L"</serviceList></device></deviceList></device></deviceList></device></root>";
}

} // namespace

TEST(PortlinkPinhole, FirewallControlFound) {
    const std::wstring fw = kFirewallControlServiceType, url = L"http://192.168.77.1:5000/d.xml";
    const std::wstring other = L"<URLBase>http://10.9.9.9/</URLBase>";
    const std::pair<std::wstring, std::wstring> rows[] = {
        {igd2(L"", fw, L"/ctl/IP6FCtl"), L"http://192.168.77.1:5000/ctl/IP6FCtl"},
        {igd2(L"", L" " + fw + L"\n", L"\n ctl/IP6FCtl "), L"http://192.168.77.1:5000/ctl/IP6FCtl"},
        {igd2(L"<URLBase>http://192.168.77.1:5001/b/</URLBase>", fw, L"fw"),
         L"http://192.168.77.1:5001/b/fw"},
        {igd2(other, fw, L"fw"), L"http://192.168.77.1:5000/fw"}, // a foreign URLBase unused
        {igd2(L"", fw, L"//10.9.9.9/ctl"), L""},                  // nor another host
        {igd2(L"", fw, L"/ctl/IP6 FCtl"), L""},                   // nor unsendable text
        {igd2(L"", L"urn:schemas-upnp-org:service:WANIPv6FirewallControl:2", L"/fw"), L""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(findFirewallControl(row.first, url), row.second) << row.first;
}

TEST(PortlinkPinhole, PcpMapForTheAddressItself) {
    const std::string address = "20010db8 00770000 00000000 00000014 ";
    EXPECT_EQ(pcpPinholeRequest(kNonce, kProtocolUdp, 5555, 3600, kStable),
              bytesOf("0201 0000 00000e10 " + address + "0102030405060708090a0b0c 11000000 " +
                      "15b3 15b3 " + address));
    // Answers: SUCCESS (or result 8), lifetime 3600, UDP 5555 -> port and address.
    const std::string head = "0281 0000 00000e10 00000100 000000000000000000000000 "
                             "0102030405060708090a0b0c 11000000 15b3 ";
    const std::pair<std::string, int32_t> rows[] = {
        {head + "15b3 " + address, RESULT_OK},
        {"0281 0008" + head.substr(9) + "15b3 " + address, ERR_MAPPING_REFUSED},
        {head + "15b4 " + address, ERR_OTHER_PORT},
        {head + "15b3 20010db8 00770000 00000000 00000015", ERR_OTHER_PORT},
        {head + "15b3 00000000 00000000 0000ffff cb007109", ERR_OTHER_PORT},
    };
    for (const auto &row : rows) {
        const std::vector<uint8_t> datagram = bytesOf(row.first);
        Ipv6Address assigned{};
        ASSERT_TRUE(readPcpAssignedAddress(datagram.data(), datagram.size(), assigned));
        EXPECT_EQ(std::vector<uint8_t>(assigned.begin(), assigned.end()),
                  std::vector<uint8_t>(datagram.begin() + 44, datagram.end()));
        const PortControlAnswer answer = readPortControlAnswer(datagram.data(), datagram.size());
        EXPECT_EQ(pcpPinholeResult(answer, assigned, kStable), row.second) << row.first;
    }
    Ipv6Address untouched = kStable;
    const std::vector<uint8_t> shortAnswer = bytesOf(head + "15b3");
    EXPECT_FALSE(readPcpAssignedAddress(shortAnswer.data(), shortAnswer.size(), untouched));
    EXPECT_EQ(untouched, kStable);
}
