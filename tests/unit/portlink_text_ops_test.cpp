#include "text_ops.h"
#include "url_reference.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <string>

using namespace portlink;

namespace {

bool statusPasses(const std::wstring &response) {
    std::wstring rest;
    return checkHttpStatus(response, rest);
}

std::wstring restOf(const std::wstring &response) {
    std::wstring rest = L"stale";
    checkHttpStatus(response, rest);
    return rest;
}

struct UrlParts {
    std::wstring host, authority, path;
    int32_t port;
};

UrlParts split(const std::wstring &url) {
    UrlParts parts{L"", L"stale", L"stale", -7};
    parts.host = splitUrl(url, parts.authority, parts.path, parts.port);
    return parts;
}

} // namespace

TEST(PortlinkCheckHttpStatus, SecondWordBeginningWithTwoPasses) {
    EXPECT_TRUE(statusPasses(L"HTTP/1.1 200 OK\r\n\r\n"));
    EXPECT_TRUE(statusPasses(L"HTTP/1.1 204 No Content\r\n"));
    EXPECT_TRUE(statusPasses(L"HTTP/1.1 2"));
    EXPECT_TRUE(statusPasses(L"HTTP/1.1 299x"));
    // A run of spaces is one separator, leading spaces are skipped.
    EXPECT_TRUE(statusPasses(L"  HTTP/1.1    200   OK\r\n"));
    // Line ends before the first line are skipped.
    EXPECT_TRUE(statusPasses(L"\r\n\n\rHTTP/1.1 200 OK\r\n"));
}

TEST(PortlinkCheckHttpStatus, AnythingElseFails) {
    EXPECT_FALSE(statusPasses(L"HTTP/1.1 404 Not Found\r\n"));
    EXPECT_FALSE(statusPasses(L"HTTP/1.1 500 Internal Server Error\r\n"));
    EXPECT_FALSE(statusPasses(L"HTTP/1.1\r\n200 OK\r\n")); // one word on the first line
    EXPECT_FALSE(statusPasses(L"HTTP/1.1"));
    EXPECT_FALSE(statusPasses(L""));
    EXPECT_FALSE(statusPasses(L"\r\n\r\n"));
    EXPECT_FALSE(statusPasses(L"     \r\nHTTP/1.1 200 OK\r\n")); // first line holds only spaces
    EXPECT_FALSE(statusPasses(L"HTTP/1.1\t200 OK\r\n"));         // only the space separates
    EXPECT_FALSE(statusPasses(L"200 OK\r\n"));                   // the second word is examined
}

TEST(PortlinkCheckHttpStatus, RestStartsAfterTheCharacterEndingTheFirstLine) {
    EXPECT_EQ(restOf(L"HTTP/1.1 200 OK\r\nServer: x\r\n\r\nbody"), L"\nServer: x\r\n\r\nbody");
    EXPECT_EQ(restOf(L"HTTP/1.1 200 OK\nServer: x"), L"Server: x");
    EXPECT_EQ(restOf(L"\r\nHTTP/1.1 200 OK\r\nA"), L"\nA");
    EXPECT_EQ(restOf(L"HTTP/1.1 200 OK"), L"");
    // Set for a failing status too, and the whole response when there is no first line.
    EXPECT_EQ(restOf(L"HTTP/1.1 404 Not Found\r\nA"), L"\nA");
    EXPECT_EQ(restOf(L"\r\n\n"), L"\r\n\n");
    EXPECT_EQ(restOf(L""), L"");
}

TEST(PortlinkGetElementText, InnerTextOfFirstElementUntrimmed) {
    EXPECT_EQ(getElementText(L"controlURL", L"<controlURL>/ctl/IPConn</controlURL>"),
              L"/ctl/IPConn");
    EXPECT_EQ(getElementText(L"URLBase", L"x<URLBase>\r\n  http://a/ \t</URLBase>y"),
              L"\r\n  http://a/ \t");
    EXPECT_EQ(getElementText(L"a", L"<a>first</a><a>second</a>"), L"first");
    EXPECT_EQ(getElementText(L"a", L"</a><a>x</a>"), L"x"); // closing tag before is ignored
    EXPECT_EQ(getElementText(L"a", L"<a><a>x</a></a>"), L"<a>x");
    EXPECT_EQ(getElementText(L"a", L"<a></a>"), L"");
}

TEST(PortlinkGetElementText, EmptyWhenTagsDoNotMatchLiterally) {
    EXPECT_EQ(getElementText(L"controlURL", L"no element here"), L"");
    EXPECT_EQ(getElementText(L"controlURL", L"<controlURL>/ctl"), L"");
    EXPECT_EQ(getElementText(L"controlURL", L"</controlURL><controlURL>/ctl"), L"");
    EXPECT_EQ(getElementText(L"controlURL", L"<u:controlURL>/ctl</u:controlURL>"), L"");
    EXPECT_EQ(getElementText(L"controlURL", L"<controlURL id=\"1\">/ctl</controlURL>"), L"");
    EXPECT_EQ(getElementText(L"controlURL", L"<ControlURL>/ctl</ControlURL>"), L"");
    EXPECT_EQ(getElementText(L"controlURL", L"<controlURL>/ctl</controlurl>"), L"");
}

TEST(PortlinkSplitUrl, SplitsHostAuthorityPathAndPort) {
    UrlParts p = split(L"http://192.168.77.1:5000/desc.xml");
    EXPECT_EQ(p.host, L"192.168.77.1");
    EXPECT_EQ(p.authority, L"192.168.77.1:5000");
    EXPECT_EQ(p.path, L"/desc.xml");
    EXPECT_EQ(p.port, 5000);

    p = split(L"http://10.0.0.1/ctl/IPConn?x=1&y=/z");
    EXPECT_EQ(p.host, L"10.0.0.1");
    EXPECT_EQ(p.authority, L"10.0.0.1");
    EXPECT_EQ(p.path, L"/ctl/IPConn?x=1&y=/z");
    EXPECT_EQ(p.port, 80);

    // The scheme is never examined; the first "://" splits.
    p = split(L"ftp://gw:21/a://b");
    EXPECT_EQ(p.host, L"gw");
    EXPECT_EQ(p.path, L"/a://b");
    EXPECT_EQ(p.port, 21);
}

TEST(PortlinkSplitUrl, PathIsEmptyWithoutSlashAfterAuthority) {
    UrlParts p = split(L"http://gw:49152");
    EXPECT_EQ(p.host, L"gw");
    EXPECT_EQ(p.authority, L"gw:49152");
    EXPECT_EQ(p.path, L"");
    EXPECT_EQ(p.port, 49152);

    p = split(L"http://gw/");
    EXPECT_EQ(p.authority, L"gw");
    EXPECT_EQ(p.path, L"/");

    p = split(L"http://");
    EXPECT_EQ(p.host, L"");
    EXPECT_EQ(p.authority, L"");
    EXPECT_EQ(p.path, L"");
    EXPECT_EQ(p.port, 80);
}

TEST(PortlinkSplitUrl, NoSchemeSeparatorGivesNothingAndPortZero) {
    for (const wchar_t *url : {L"", L"/ctl/IPConn", L"ctl/IPConn", L"http:/gw:80/x", L"gw:80"}) {
        const UrlParts p = split(url);
        EXPECT_EQ(p.host, L"") << url;
        EXPECT_EQ(p.authority, L"") << url;
        EXPECT_EQ(p.path, L"") << url;
        EXPECT_EQ(p.port, 0) << url;
    }
}

TEST(PortlinkSplitUrl, PortTextReadLikeWcstol) {
    const struct {
        const wchar_t *url;
        int32_t port;
    } cases[] = {
        {L"http://gw:/x", 80},        // colon without digits
        {L"http://gw:abc/x", 0},      // letters
        {L"http://gw:12ab/x", 12},    // reading stops at the first non-digit
        {L"http://gw: 81/x", 81},     // leading white space
        {L"http://gw:+82/x", 82},     // sign
        {L"http://gw:-1/x", -1},      // negative kept; the exchange uses the low 16 bits
        {L"http://gw:0/x", 0},        // port 0 as written
        {L"http://gw::8080/x", 8080}, // a run of colons is one separator
        {L"http://gw:1:2/x", 1},      // second piece only
        {L"http://gw:99999999999/x", INT32_MAX},
        {L"http://gw:-99999999999/x", INT32_MIN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(split(c.url).port, c.port) << c.url;
}

TEST(PortlinkSplitUrl, LeadingColonsAreSkippedWhenTakingTheHost) {
    UrlParts p = split(L"http://:8080/x");
    EXPECT_EQ(p.host, L"8080");
    EXPECT_EQ(p.authority, L":8080");
    EXPECT_EQ(p.port, 80);

    p = split(L"http://:/x");
    EXPECT_EQ(p.host, L"");
    EXPECT_EQ(p.port, 80);
}

TEST(PortlinkResolveReference, AsRfc3986Resolves) {
    const struct {
        const wchar_t *base, *reference, *target;
    } cases[] = {
        // RFC 3986 section 5.4: normal and abnormal examples.  Fragments are dropped.
        {L"http://a/b/c/d;p?q", L"g", L"http://a/b/c/g"},
        {L"http://a/b/c/d;p?q", L"./g", L"http://a/b/c/g"},
        {L"http://a/b/c/d;p?q", L"g/", L"http://a/b/c/g/"},
        {L"http://a/b/c/d;p?q", L"/g", L"http://a/g"},
        {L"http://a/b/c/d;p?q", L"//g", L"http://g"},
        {L"http://a/b/c/d;p?q", L"?y", L"http://a/b/c/d;p?y"},
        {L"http://a/b/c/d;p?q", L"g?y", L"http://a/b/c/g?y"},
        {L"http://a/b/c/d;p?q", L"#s", L"http://a/b/c/d;p?q"},
        {L"http://a/b/c/d;p?q", L"g?y#s", L"http://a/b/c/g?y"},
        {L"http://a/b/c/d;p?q", L";x", L"http://a/b/c/;x"},
        {L"http://a/b/c/d;p?q", L"", L"http://a/b/c/d;p?q"},
        {L"http://a/b/c/d;p?q", L".", L"http://a/b/c/"},
        {L"http://a/b/c/d;p?q", L"..", L"http://a/b/"},
        {L"http://a/b/c/d;p?q", L"../g", L"http://a/b/g"},
        {L"http://a/b/c/d;p?q", L"../..", L"http://a/"},
        {L"http://a/b/c/d;p?q", L"../../g", L"http://a/g"},
        {L"http://a/b/c/d;p?q", L"../../../g", L"http://a/g"},
        {L"http://a/b/c/d;p?q", L"/./g", L"http://a/g"},
        {L"http://a/b/c/d;p?q", L"/../g", L"http://a/g"},
        {L"http://a/b/c/d;p?q", L"g.", L"http://a/b/c/g."},
        {L"http://a/b/c/d;p?q", L"..g", L"http://a/b/c/..g"},
        {L"http://a/b/c/d;p?q", L"./../g", L"http://a/b/g"},
        {L"http://a/b/c/d;p?q", L"g/./h", L"http://a/b/c/g/h"},
        {L"http://a/b/c/d;p?q", L"g/../h", L"http://a/b/c/h"},
        {L"http://a/b/c/d;p?q", L"g;x=1/../y", L"http://a/b/c/y"},
        {L"http://a/b/c/d;p?q", L"g?y/./x", L"http://a/b/c/g?y/./x"},
        {L"http://a/b/c/d;p?q", L"g#s/../x", L"http://a/b/c/g"},
        {L"http://a/b/c/d;p?q", L"g:h", L"g:h"},
        {L"http://a/b/c/d;p?q", L"http:g", L"http:g"},
        // What gateways send, against the description URL or a URLBase.
        {L"http://gw:5000/desc/rootDesc.xml", L"../ctl/IPConn", L"http://gw:5000/ctl/IPConn"},
        {L"http://gw:5000/desc/rootDesc.xml", L"./ctl", L"http://gw:5000/desc/ctl"},
        {L"http://gw:5000/desc/rootDesc.xml", L"//192.168.1.1:5000/ctl",
         L"http://192.168.1.1:5000/ctl"},
        {L"http://gw:5000/igd", L"ctl", L"http://gw:5000/ctl"},
        {L"http://gw:5000/desc/rootDesc.xml", L"?x=1", L"http://gw:5000/desc/rootDesc.xml?x=1"},
        {L"http://gw:5000/desc/rootDesc.xml", L"ctl#frag", L"http://gw:5000/desc/ctl"},
        {L"http://gw:5000/desc/rootDesc.xml", L"http://gw/upnp/control?WANIPConnection",
         L"http://gw/upnp/control?WANIPConnection"},
        {L"http://gw:5000", L"ctl", L"http://gw:5000/ctl"},
        {L"http://gw:5000", L"?x", L"http://gw:5000/?x"},
        {L"http://gw:5000/a", L"http://gw:5001", L"http://gw:5001"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(resolveReference(c.base, c.reference), c.target)
            << std::string(c.base, c.base + std::wcslen(c.base)) << " + "
            << std::string(c.reference, c.reference + std::wcslen(c.reference));
}
