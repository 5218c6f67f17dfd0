#include "ssdp_v6.h"

#include <gtest/gtest.h>

#include <string>

using namespace portlink;

namespace {

const std::wstring kIp = L"urn:schemas-upnp-org:service:WANIPConnection:1";
const std::wstring kUuid = L"5f6e0b1c-3a2d-4e5f-8a9b-0c1d2e3f4a5b";
const std::wstring kUsnUuid = L"uuid:" + kUuid;

Ipv6Address ip(const wchar_t *text) {
    Ipv6Address a{};
    EXPECT_TRUE(parseIpv6(text, a)) << text;
    return a;
}

const Ipv6Address kGateway = ip(L"2001:db8:77::1");

// A gateway's answer over IPv6 with `headers` (CR LF ended lines) between ST and the end.
std::wstring answer(const std::wstring &headers, const std::wstring &status = L"200 OK") {
    return L"HTTP/1.1 " + status + L"\r\nCACHE-CONTROL: max-age=120\r\nST: " + kIp + L"\r\n" +
           headers + L"EXT:\r\n\r\n";
}

std::wstring usn(const std::wstring &value) {
    return L"USN: " + value + L"\r\n";
}

std::string narrow(const std::wstring &text) {
    return std::string(text.begin(), text.end());
}

} // namespace

TEST(PortlinkSsdpV6, SearchRequestNamesTheIpv6Group) {
    EXPECT_EQ(buildSearchRequest6(kIp), L"M-SEARCH * HTTP/1.1\r\n"
                                        L"HOST: [FF02::C]:1900\r\n"
                                        L"MAN: \"ssdp:discover\"\r\n"
                                        L"MX: 6\r\n"
                                        L"ST: urn:schemas-upnp-org:service:WANIPConnection:1\r\n"
                                        L"\r\n");
}

TEST(PortlinkSsdpV6, DeviceUuidFromTheUsn) {
    const struct {
        std::wstring text;
        std::wstring uuid;
    } rows[] = {
        {answer(usn(kUsnUuid + L"::" + kIp)), kUuid},
        {answer(usn(kUsnUuid)), kUuid}, // a root device: the whole value
        {answer(L"usn:\t" + kUsnUuid + L"::upnp:rootdevice  \r\n"), kUuid},
        {answer(L"Usn:UUID:AbC::x::y\r\n"), L"AbC"},
        {answer(usn(L"uuid:a:b::c")), L"a:b"},
        {answer(usn(L"uuid:::c")), L""}, // nothing between "uuid:" and "::"
        {answer(usn(L"uuid:")), L""},
        {answer(usn(L"uuid:" + std::wstring(129, L'a') + L"::x")), L""}, // over-long
        {answer(usn(L"urn:schemas-upnp-org:device:InternetGatewayDevice:1")), L""},
        {answer(usn(L"")), L""},
        {answer(L""), L""},
        // Only the first USN line counts, and only a header line named exactly so.
        {answer(usn(L"uuid:first") + usn(L"uuid:second")), L"first"},
        {answer(L"X-USN: uuid:x\r\nUSN : uuid:y\r\n USN: uuid:z\r\n"), L""},
        {L"USN: uuid:x HTTP/1.1 200 OK\r\nST: " + kIp + L"\r\n", L""}, // the first line
        {L"NOTIFY * HTTP/1.1\nUSN: uuid:n::upnp:rootdevice\n", L"n"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(deviceUuidOf(row.text), row.uuid) << narrow(row.text).c_str();
}

TEST(PortlinkSsdpV6, LocationMustBeTheSendersAddress) {
    const struct {
        const wchar_t *location;
        Ipv6Address sender;
        AnswerVerdict verdict;
    } rows[] = {
        {L"http://[2001:db8:77::1]:5000/rootDesc.xml", kGateway, AnswerVerdict::Usable},
        {L"http://[2001:DB8:77:0:0:0:0:0001]/d.xml", kGateway, AnswerVerdict::Usable},
        {L"http://[fe80::1]:5000/d.xml", ip(L"fe80::1"), AnswerVerdict::Usable},
        {L"http://[2001:db8:77::2]:5000/d.xml", kGateway, AnswerVerdict::ElsewhereLocation},
        {L"http://[fe80::1]:5000/d.xml", kGateway, AnswerVerdict::ElsewhereLocation},
        {L"http://192.168.77.1:5000/d.xml", kGateway, AnswerVerdict::ElsewhereLocation},
        {L"http://[::ffff:192.168.77.1]/d.xml", kGateway, AnswerVerdict::ElsewhereLocation},
        {L"http://[2001:db8:77::1%252]/d.xml", kGateway, AnswerVerdict::ElsewhereLocation},
        {L"http://[2001:db8:77::1/d.xml", kGateway, AnswerVerdict::ElsewhereLocation},
        {L"http://[]/d.xml", ip(L"::"), AnswerVerdict::ElsewhereLocation},
        {L"http://2001:db8:77::1/d.xml", kGateway, AnswerVerdict::ElsewhereLocation},
        {L"", kGateway, AnswerVerdict::BadLocation},
        {L"http://[2001:db8:77::1]/a b.xml", kGateway, AnswerVerdict::BadLocation},
    };
    for (const auto &row : rows) {
        const SearchAnswer6 a = examineSearchAnswer6(
            answer(usn(kUsnUuid + L"::" + kIp) + L"LOCATION: " + row.location + L"\r\n"), row.sender);
        EXPECT_EQ(a.search.verdict, row.verdict) << narrow(row.location).c_str();
        const bool usable = row.verdict == AnswerVerdict::Usable;
        EXPECT_EQ(a.search.descriptionUrl, usable ? row.location : L"");
        EXPECT_EQ(a.search.serviceType, usable ? kIp : L"");
        EXPECT_EQ(a.deviceUuid, kUuid);
    }
}

TEST(PortlinkSsdpV6, OtherRulesAreTheIpv4Judgings) {
    const std::wstring location = L"LOCATION: http://[2001:db8:77::1]/d.xml\r\n";
    const struct {
        std::wstring text;
        AnswerVerdict verdict;
    } rows[] = {
        {answer(location, L"404 Not Found"), AnswerVerdict::BadStatus},
        {L"HTTP/1.1 200 OK\r\nST: upnp:rootdevice\r\n" + location, AnswerVerdict::NoKnownTarget},
        {answer(L""), AnswerVerdict::NoLocation},
        {answer(L"Location:http://[2001:db8:77::1]/d.xml\r\n"), AnswerVerdict::Usable},
        // The first LOCATION line decides, as in the IPv4 judging.
        {answer(location + L"LOCATION: http://[2001:db8:77::2]/d.xml\r\n"), AnswerVerdict::Usable},
        {answer(L"LOCATION: http://[2001:db8:77::2]/d.xml\r\n" + location),
         AnswerVerdict::ElsewhereLocation},
    };
    for (const auto &row : rows)
        EXPECT_EQ(examineSearchAnswer6(row.text, kGateway).search.verdict, row.verdict)
            << narrow(row.text).c_str();
}
