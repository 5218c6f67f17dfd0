#include "text_ops.h"
#include "url_reference.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cwchar>
#include <utility>
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

// Each row also gives what a request to the URL carries: `target` is the request path, or
// null when splitRequestUrl refuses the URL.
TEST(PortlinkSplitUrl, SplitsHostAuthorityPathAndPortAndTheRequestTarget) {
    const struct {
        const wchar_t *url, *host, *authority, *path;
        int32_t port;
        const wchar_t *target;
    } cases[] = {
        {L"http://192.168.77.1:5000/desc.xml", L"192.168.77.1", L"192.168.77.1:5000", L"/desc.xml",
         5000, L"/desc.xml"},
        {L"http://10.0.0.1/ctl/IPConn?x=1&y=/z", L"10.0.0.1", L"10.0.0.1", L"/ctl/IPConn?x=1&y=/z",
         80, L"/ctl/IPConn?x=1&y=/z"},
        // The scheme is not examined beyond its form; "://" in the path is path.
        {L"ftp://gw:21/a://b", L"gw", L"gw:21", L"/a://b", 21, L"/a://b"},
        {L"HTTP://gw/x", L"gw", L"gw", L"/x", 80, L"/x"},
        // Without a "/" after the authority the path is empty, the query kept; the request
        // path is never empty.
        {L"http://192.168.77.1:5000", L"192.168.77.1", L"192.168.77.1:5000", L"", 5000, L"/"},
        {L"http://gw:5000?x", L"gw", L"gw:5000", L"?x", 5000, L"/?x"},
        {L"http://gw?x=/y", L"gw", L"gw", L"?x=/y", 80, L"/?x=/y"},
        {L"http://gw/", L"gw", L"gw", L"/", 80, L"/"},
        {L"http://gw//x", L"gw", L"gw", L"//x", 80, L"//x"},
        {L"http://", L"", L"", L"", 80, nullptr},
        // The fragment ends the authority and the path, is part of neither and is never sent,
        // so what it holds does not matter.
        {L"http://gw/ctl#frag/z", L"gw", L"gw", L"/ctl", 80, L"/ctl"},
        {L"http://gw:81#x/y", L"gw", L"gw:81", L"", 81, L"/"},
        {L"http://gw/ctl?x#f", L"gw", L"gw", L"/ctl?x", 80, L"/ctl?x"},
        {L"http://gw/ctl#a b\r\n", L"gw", L"gw", L"/ctl", 80, L"/ctl"},
        // The host leaves out userinfo and port; the authority stays as written.
        {L"http://user:pw@gw:5000/x", L"gw", L"user:pw@gw:5000", L"/x", 5000, L"/x"},
        {L"http://a@b@gw/x", L"gw", L"a@b@gw", L"/x", 80, L"/x"},
        {L"http://u@/x", L"", L"u@", L"/x", 80, nullptr},
        // An IP literal keeps its brackets and its colons.
        {L"http://[fe80::1]:5000/x", L"[fe80::1]", L"[fe80::1]:5000", L"/x", 5000, L"/x"},
        {L"http://[fe80::1]/x", L"[fe80::1]", L"[fe80::1]", L"/x", 80, L"/x"},
        // An empty host before a port stays empty.
        {L"http://:8080/x", L"", L":8080", L"/x", 8080, nullptr},
        {L"http://:/x", L"", L":", L"/x", 80, nullptr},
    };
    for (const auto &c : cases) {
        const UrlParts p = split(c.url);
        EXPECT_EQ(p.host, c.host) << c.url;
        EXPECT_EQ(p.authority, c.authority) << c.url;
        EXPECT_EQ(p.path, c.path) << c.url;
        EXPECT_EQ(p.port, c.port) << c.url;
        RequestTarget t;
        EXPECT_EQ(splitRequestUrl(c.url, t), c.target != nullptr) << c.url;
        EXPECT_EQ(requestHost(c.url), c.target ? c.host : L"") << c.url;
        if (c.target) {
            EXPECT_EQ(t.host, c.host) << c.url;
            EXPECT_EQ(t.authority, c.authority) << c.url;
            EXPECT_EQ(t.path, c.target) << c.url;
            EXPECT_EQ(t.port, c.port) << c.url;
        }
    }
}

// Only a URL whose request goes to the address itself lies on it.
TEST(PortlinkSplitUrl, LiesOnTheAddressOnlyWhenItsHostIsThatAddress) {
    const uint32_t router = 0x0101a8c0; // 192.168.1.1
    const std::pair<const wchar_t *, bool> rows[] = {
        {L"http://192.168.1.1:5000/rootDesc.xml", true},
        {L"http://192.168.1.1/ctl", true},
        {L"http://192.168.1.10:5000/ctl", false},
        {L"http://192.168.1.1.example:5000/ctl", false},
        {L"http://100.200.0.1:5000/ctl", false},
        {L"http://router.lan:5000/ctl", false},
        {L"http://192.168.001.001:5000/ctl", false},
        {L"/ctl", false},
        {L"", false},
    };
    for (const auto &row : rows)
        EXPECT_EQ(urlLiesOn(row.first, router), row.second) << row.first;
    EXPECT_FALSE(urlLiesOn(L"http://0.0.0.0/ctl", 0));
}

TEST(PortlinkSplitUrl, WithoutSchemeAndAuthorityGivesNothingAndPortZero) {
    for (const wchar_t *url :
         {L"", L"/ctl/IPConn", L"ctl/IPConn", L"http:/gw:80/x", L"gw:80", L"//gw/x", L"/x://gw/ctl",
          L"1a://gw/x", L" http://gw/x", L"http:gw://x", L"://gw/x", L"?x://gw", L"#://gw"}) {
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
        {L"http://gw:/x", 80},     // colon without digits
        {L"http://gw:", 80},       // the same at the end
        {L"http://gw:abc/x", 0},   // letters
        {L"http://gw:12ab/x", 12}, // reading stops at the first non-digit
        {L"http://gw: 81/x", 81},  // leading white space
        {L"http://gw:+82/x", 82},  // sign
        {L"http://gw:-1/x", -1},   // negative kept; the exchange uses the low 16 bits
        {L"http://gw:0/x", 0},     // port 0 as written
        {L"http://gw::8080/x", 0}, // the port text is ":8080", no number
        {L"http://gw:1:2/x", 1},   // the port text begins at the first colon
        {L"http://gw:99999999999/x", INT32_MAX},
        {L"http://gw:-99999999999/x", INT32_MIN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(split(c.url).port, c.port) << c.url;
}

TEST(PortlinkSplitRequestUrl, RefusesNoHostAndBlanksOrControlsThatWouldBeSent) {
    for (const wchar_t *url :
         {L"", L"/ctl", L"//gw/ctl", L"gw:80/ctl", L"http://", L"http:///x", L"http://:5000/x",
          L"http://u@/x", L"http:/gw/x", L"http://gw/a b", L"http://gw/a\tb", L"http://gw/x?a b",
          L"http://gw?a\x01", L"http://g w/x", L"http://gw\x7f/x", L"http://gw/\x1f",
          L"http://gw:5000\r\n/x", L"http://u s@gw/x"}) {
        RequestTarget t;
        EXPECT_FALSE(splitRequestUrl(url, t)) << url;
        EXPECT_EQ(requestHost(url), L"") << url;
    }
}

TEST(PortlinkIsHttpUrl, HttpSchemeInAnyCaseWithAHost) {
    const struct {
        const wchar_t *url;
        bool http;
    } cases[] = {
        {L"http://gw/", true},
        {L"HTTP://gw/", true},
        {L"hTtP://192.168.77.1:5000", true},
        {L"http://u@gw?x", true},
        {L"https://gw/", false},
        {L"httpx://gw/", false},
        {L"htt://gw/", false},
        {L"ftp://gw/", false},
        {L"http:/x", false},
        {L"http:x", false},
        {L"http://", false},
        {L"http:///x", false},
        {L"http://:80/x", false},
        {L"http://u@/x", false},
        {L"//gw/", false},
        {L" http://gw/", false},
        {L"", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(isHttpUrl(c.url), c.http) << c.url;
}

TEST(PortlinkSplitUriReference, MissingComponentsDifferFromEmptyOnes) {
    const struct {
        const wchar_t *text;
        bool scheme, authority, query, fragment;
        const wchar_t *path;
    } cases[] = {
        {L"http://gw/p?q#f", true, true, true, true, L"/p"},
        {L"http:///x", true, true, false, false, L"/x"},
        {L"http:/x", true, false, false, false, L"/x"},
        {L"http://?#", true, true, true, true, L""},
        {L"//gw", false, true, false, false, L""},
        {L"a:b:c", true, false, false, false, L"b:c"},
        {L"1a:b", false, false, false, false, L"1a:b"},
        {L"/a:b?", false, false, true, false, L"/a:b"},
        {L"#x?y//z", false, false, false, true, L""},
        {L"", false, false, false, false, L""},
    };
    for (const auto &c : cases) {
        const UriComponents parts = splitUriReference(c.text);
        EXPECT_EQ(parts.hasScheme, c.scheme) << c.text;
        EXPECT_EQ(parts.hasAuthority, c.authority) << c.text;
        EXPECT_EQ(parts.hasQuery, c.query) << c.text;
        EXPECT_EQ(parts.hasFragment, c.fragment) << c.text;
        EXPECT_EQ(parts.path, c.path) << c.text;
    }
    const UriComponents parts = splitUriReference(L"Ht+1.-tp://u@gw:1/a/b?c=d/e?f#g#h");
    EXPECT_EQ(parts.scheme, L"Ht+1.-tp");
    EXPECT_EQ(parts.authority, L"u@gw:1");
    EXPECT_EQ(parts.path, L"/a/b");
    EXPECT_EQ(parts.query, L"c=d/e?f");
    EXPECT_EQ(parts.fragment, L"g#h");
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
