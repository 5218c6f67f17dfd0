#include "ssdp.h"
#include "ssdp_notice.h"

#include <gtest/gtest.h>

#include <string>

using namespace portlink;

namespace {

const std::wstring kPpp = L"urn:schemas-upnp-org:service:WANPPPConnection:1";
const std::wstring kIp = L"urn:schemas-upnp-org:service:WANIPConnection:1";
const std::wstring kIgd = L"urn:schemas-upnp-org:device:InternetGatewayDevice:1";

// A gateway's answer naming `st`, with `location` as its whole LOCATION line.
std::wstring answer(const std::wstring &st, const std::wstring &location) {
    return L"HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=120\r\nST: " + st +
           L"\r\nUSN: uuid:1234::" + st + L"\r\nEXT:\r\nSERVER: gw/1.0 UPnP/1.1\r\n" +
           location + L"\r\n\r\n";
}

// The answer judged as one that the host "gw" sent.
SearchAnswer examine(const std::wstring &text, const std::wstring &sender = L"gw") {
    return examineSearchAnswer(text, sender);
}

} // namespace

TEST(PortlinkSsdp, SearchTargetsInPreferenceOrder) {
    EXPECT_EQ(std::wstring(urnPrefix), L"urn:schemas-upnp-org:");
    EXPECT_EQ(formatSearchTarget(searchTargets[0]), kPpp);
    EXPECT_EQ(formatSearchTarget(searchTargets[1]), kIp);
    EXPECT_EQ(formatSearchTarget(searchTargets[2]), kIgd);
}

TEST(PortlinkSsdp, SearchRequestByteForByte) {
    EXPECT_EQ(buildSearchRequest(kIp), L"M-SEARCH * HTTP/1.1\r\n"
                                       L"HOST: 239.255.255.250:1900\r\n"
                                       L"MAN: \"ssdp:discover\"\r\n"
                                       L"MX: 6\r\n"
                                       L"ST: urn:schemas-upnp-org:service:WANIPConnection:1\r\n"
                                       L"\r\n");
}

TEST(PortlinkSsdp, UsableAnswerGivesTargetAndLocation) {
    const SearchAnswer a = examine(
        answer(kIp, L"LOCATION: http://192.168.77.1:5000/rootDesc.xml"), L"192.168.77.1");
    EXPECT_EQ(a.verdict, AnswerVerdict::Usable);
    EXPECT_EQ(a.serviceType, kIp);
    EXPECT_EQ(a.descriptionUrl, L"http://192.168.77.1:5000/rootDesc.xml");

    // Lines ended by LF alone are split too.
    const SearchAnswer lf = examine(L"HTTP/1.1 200 OK\nST: " + kIgd +
                                                L"\nLOCATION:http://gw/d.xml\n");
    EXPECT_EQ(lf.verdict, AnswerVerdict::Usable);
    EXPECT_EQ(lf.serviceType, kIgd);
    EXPECT_EQ(lf.descriptionUrl, L"http://gw/d.xml");
}

TEST(PortlinkSsdp, FailingStatusLineRejected) {
    for (const wchar_t *first : {L"HTTP/1.1 404 Not Found", L"HTTP/1.1", L"", L"   "}) {
        const std::wstring text = std::wstring(first) + L"\r\nST: " + kIp +
                                  L"\r\nLOCATION: http://gw/d.xml\r\n\r\n";
        EXPECT_EQ(examine(text).verdict, AnswerVerdict::BadStatus) << first;
    }
    EXPECT_EQ(examine(L"").verdict, AnswerVerdict::BadStatus);
}

TEST(PortlinkSsdp, PreferredTargetWinsWhereverItIsNamed) {
    const std::wstring loc = L"LOCATION: http://gw/d.xml";
    // All three named, the preferred one last.
    std::wstring text = L"HTTP/1.1 200 OK\r\nNT: " + kIgd + L"\r\nST: " + kIp + L"\r\nX: " +
                        kPpp + L"\r\n" + loc + L"\r\n";
    EXPECT_EQ(examine(text).serviceType, kPpp);
    EXPECT_EQ(examine(answer(kIgd + L" " + kIp, loc)).serviceType, kIp);
    EXPECT_EQ(examine(answer(kIgd, loc)).serviceType, kIgd);
    // Named as a substring anywhere in the rest, the LOCATION value included.
    text = L"HTTP/1.1 200 OK\r\nLOCATION: http://gw/" + kPpp + L"\r\n";
    EXPECT_EQ(examine(text).serviceType, kPpp);
    // The status line is not part of the rest.
    text = L"HTTP/1.1 200 " + kPpp + L"\r\nST: " + kIp + L"\r\n" + loc + L"\r\n";
    EXPECT_EQ(examine(text).serviceType, kIp);
}

TEST(PortlinkSsdp, UnknownTargetIsNotUsable) {
    const std::wstring loc = L"LOCATION: http://gw/d.xml";
    for (const wchar_t *st : {L"urn:schemas-upnp-org:service:wanipconnection:1",
                              L"urn:schemas-upnp-org:service:WANIPConnection:2",
                              L"upnp:rootdevice"}) {
        const SearchAnswer a = examine(answer(st, loc));
        EXPECT_EQ(a.verdict, AnswerVerdict::NoKnownTarget) << st;
        EXPECT_EQ(a.serviceType, L"") << st;
        EXPECT_EQ(a.descriptionUrl, L"") << st;
    }
}

TEST(PortlinkSsdp, LocationHeaderNameInAnyLetterCase) {
    for (const wchar_t *name : {L"LOCATION:", L"Location:", L"location:", L"lOcAtIoN:"}) {
        const SearchAnswer a = examine(answer(kIp, std::wstring(name) + L"http://gw/d"));
        EXPECT_EQ(a.verdict, AnswerVerdict::Usable) << name;
        EXPECT_EQ(a.descriptionUrl, L"http://gw/d") << name;
    }
    for (const wchar_t *line : {L"LOCATION : http://gw/d", L" LOCATION: http://gw/d",
                                L"X-LOCATION: http://gw/d", L"LOCATION", L"LOCATIO"}) {
        const SearchAnswer a = examine(answer(kIp, line));
        EXPECT_EQ(a.verdict, AnswerVerdict::NoLocation) << line;
        EXPECT_EQ(a.serviceType, L"") << line;
    }
}

TEST(PortlinkSsdp, LocationValueTrimmedAndFirstLineWins) {
    SearchAnswer a = examine(answer(kIp, L"LOCATION: \t http://gw/a.xml \t "));
    EXPECT_EQ(a.descriptionUrl, L"http://gw/a.xml");

    a = examine(answer(kIp, L"LOCATION: http://gw/first\r\nLOCATION: http://gw/second"));
    EXPECT_EQ(a.descriptionUrl, L"http://gw/first");
    a = examine(answer(kIp, L"LOCATION: http://other/\r\nLOCATION: http://gw/second"));
    EXPECT_EQ(a.verdict, AnswerVerdict::ElsewhereLocation);
}

TEST(PortlinkSsdp, LocationMustNameTheSenderAndBeSafeToRequest) {
    const struct {
        const wchar_t *location, *sender;
        AnswerVerdict verdict;
    } cases[] = {
        {L"http://192.168.77.1:5000/rootDesc.xml", L"192.168.77.1", AnswerVerdict::Usable},
        {L"http://192.168.77.1", L"192.168.77.1", AnswerVerdict::Usable},
        {L"http://127.0.0.1:5000/rootDesc.xml", L"192.168.77.30", AnswerVerdict::ElsewhereLocation},
        {L"http://192.168.77.30:5000/d.xml", L"192.168.77.1", AnswerVerdict::ElsewhereLocation},
        // The same address written another way is another text: inet_addr reads 077 as octal.
        {L"http://192.168.077.001/d.xml", L"192.168.77.1", AnswerVerdict::ElsewhereLocation},
        {L"http://gateway.lan/d.xml", L"192.168.77.1", AnswerVerdict::ElsewhereLocation},
        {L"", L"192.168.77.1", AnswerVerdict::BadLocation},
        {L"192.168.77.1/d.xml", L"192.168.77.1", AnswerVerdict::BadLocation},
        {L"http:///d.xml", L"192.168.77.1", AnswerVerdict::BadLocation},
        {L"http://192.168.77.1/a b.xml", L"192.168.77.1", AnswerVerdict::BadLocation},
        {L"http://192.168.77.1/a\tb.xml", L"192.168.77.1", AnswerVerdict::BadLocation},
        {L"http://192.168.77.1/a\x01.xml", L"192.168.77.1", AnswerVerdict::BadLocation},
    };
    for (const auto &c : cases) {
        const SearchAnswer a = examine(answer(kIp, std::wstring(L"LOCATION: ") + c.location),
                                       c.sender);
        EXPECT_EQ(a.verdict, c.verdict) << c.location;
        EXPECT_EQ(a.descriptionUrl, c.verdict == AnswerVerdict::Usable ? c.location : L"")
            << c.location;
    }
}

TEST(PortlinkSsdp, NoticesAndTheirBootIds) {
    const std::wstring head = L"NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n";
    const struct {
        std::wstring datagram;
        NoticeKind kind;
        bool hasBootId;
        uint32_t bootId;
    } rows[] = {
        {head + L"NT: upnp:rootdevice\r\nNTS: ssdp:alive\r\nBOOTID.UPNP.ORG: 17\r\n\r\n",
         NoticeKind::Alive, true, 17},
        {head + L"nts:ssdp:byebye\r\nbootid.upnp.org:  2147483647 \r\n\r\n", NoticeKind::ByeBye,
         true, 2147483647u},
        {head + L"NTS: ssdp:alive\r\n\r\n", NoticeKind::Alive, false, 0},
        {head + L"NTS: ssdp:alive\r\nBOOTID.UPNP.ORG: 2147483648\r\n", NoticeKind::Alive, false, 0},
        {head + L"NTS: ssdp:alive\r\nBOOTID.UPNP.ORG: -1\r\n", NoticeKind::Alive, false, 0},
        {head + L"NTS: ssdp:alive\r\nBOOTID.UPNP.ORG:\r\n", NoticeKind::Alive, false, 0},
        {head + L"NTS: ssdp:update\r\nBOOTID.UPNP.ORG: 3\r\n", NoticeKind::None, false, 0},
        {head + L"NTS: SSDP:ALIVE\r\n", NoticeKind::None, false, 0},
        {L"HTTP/1.1 200 OK\r\nNTS: ssdp:alive\r\n", NoticeKind::None, false, 0},
        {L"M-SEARCH * HTTP/1.1\r\nNTS: ssdp:alive\r\n", NoticeKind::None, false, 0},
        {L"NOTIFY * HTTP/1.1", NoticeKind::None, false, 0},
        {L"", NoticeKind::None, false, 0},
    };
    for (const auto &row : rows) {
        const SsdpNotice notice = readSsdpNotice(row.datagram);
        EXPECT_EQ(notice.kind, row.kind) << std::string(row.datagram.begin(), row.datagram.end());
        EXPECT_EQ(notice.hasBootId, row.hasBootId);
        EXPECT_EQ(notice.bootId, row.bootId);
    }
    // A search answer carries the gateway's boot too.
    uint32_t bootId = 9;
    EXPECT_TRUE(readSsdpBootId(L"HTTP/1.1 200 OK\r\nST: x\r\nBOOTID.UPNP.ORG: 42\r\n", bootId));
    EXPECT_EQ(bootId, 42u);
    EXPECT_FALSE(readSsdpBootId(L"HTTP/1.1 200 OK\r\nBOOTID.UPNP.ORG: x\r\n", bootId));
    EXPECT_EQ(bootId, 42u);
}

TEST(PortlinkSsdp, NoticeNamesItsDevice) {
    const std::wstring head = L"NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n";
    const std::wstring alive = L"NTS: ssdp:alive\r\n";
    const std::wstring u36 = L"5f6e0b1c-3a2d-4e5f-8a9b-0c1d2e3f4a5b";
    const std::wstring longest(128, L'f');
    const struct {
        std::wstring headers;
        std::wstring uuid;
    } rows[] = {
        {L"USN: uuid:" + u36 + L"::urn:schemas-upnp-org:device:InternetGatewayDevice:1\r\n", u36},
        {L"USN: uuid:" + u36 + L"\r\n", u36},
        {L"usn:UUID:" + u36 + L"::upnp:rootdevice \r\n", u36},
        {L"Usn: uuid:" + longest + L"\r\n", longest},
        {L"USN: uuid:" + longest + L"f\r\n", L""},
        {L"USN: uuid:" + longest + L"f::upnp:rootdevice\r\n", L""},
        {L"USN:\r\n", L""},
        {L"USN: uuid:\r\n", L""},
        {L"USN: uuid:::upnp:rootdevice\r\n", L""},
        {L"USN: urn:schemas-upnp-org:device:MediaServer:1\r\n", L""},
        {L"USN: uuid:a b\r\n", L""},
        {L"X-USN: uuid:x\r\n", L""},
        {L"", L""},
        // The first USN header speaks for the notice.
        {L"USN: uuid:first\r\nUSN: uuid:second\r\n", L"first"},
    };
    for (const auto &row : rows) {
        const SsdpNotice notice = readSsdpNotice(head + row.headers + alive);
        EXPECT_EQ(notice.kind, NoticeKind::Alive);
        EXPECT_EQ(notice.deviceUuid, row.uuid)
            << std::string(row.headers.begin(), row.headers.end());
    }
    // Not a notice: nothing of it is kept.
    EXPECT_EQ(readSsdpNotice(head + L"USN: uuid:x\r\nNTS: ssdp:update\r\n").deviceUuid, L"");
}
