#include "http_framing.h"

#include <gtest/gtest.h>

#include <string>

using namespace portlink;

namespace {

bool complete(const std::string &bytes) { return isResponseComplete(bytes.data(), bytes.size()); }

const std::string kHead = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n";

} // namespace

TEST(PortlinkResponseComplete, ZeroLengthBodyCompleteAtHeaderEnd) {
    const std::string answer = kHead + "Content-Length: 0\r\n\r\n";
    EXPECT_TRUE(complete(answer));
    EXPECT_FALSE(isResponseComplete(answer.data(), answer.size() - 1));
}

TEST(PortlinkResponseComplete, HeaderNameMatchedInAnyLetterCase) {
    for (const char *name : {"Content-Length:", "content-length:", "CONTENT-LENGTH:",
                             "cOnTeNt-LeNgTh:"})
        EXPECT_TRUE(complete(kHead + name + " 2\r\n\r\nok")) << name;
    EXPECT_FALSE(complete(kHead + "Content-Length : 2\r\n\r\nok"));
    EXPECT_FALSE(complete(kHead + "ContentLength: 2\r\n\r\nok"));
}

TEST(PortlinkResponseComplete, HeaderEndMustBeExactlyCrLfCrLf) {
    EXPECT_FALSE(complete("HTTP/1.1 200 OK\r\nContent-Length: 0\n\n"));
    EXPECT_FALSE(complete("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\n"));
    EXPECT_FALSE(complete("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n"));
}

TEST(PortlinkResponseComplete, BodyCountedFromHeaderEnd) {
    const std::string header = kHead + "Content-Length: 5\r\n\r\n";
    EXPECT_FALSE(complete(header));
    EXPECT_FALSE(complete(header + "abcd"));
    EXPECT_TRUE(complete(header + "abcde"));
    EXPECT_TRUE(complete(header + "abcdef"));
    // Digits read as atoi reads them.
    EXPECT_TRUE(complete(kHead + "Content-Length:3\r\n\r\nabc"));
    EXPECT_FALSE(complete(kHead + "Content-Length:3\r\n\r\nab"));
    EXPECT_TRUE(complete(kHead + "Content-Length: \t 3 x\r\n\r\nabc"));
    EXPECT_TRUE(complete(kHead + "Content-Length: many\r\n\r\n"));
    EXPECT_TRUE(complete(kHead + "Content-Length: 12\r\n\r\n0123456789ab"));
    EXPECT_FALSE(complete(kHead + "Content-Length: 12\r\n\r\n0123456789a"));
}

TEST(PortlinkResponseComplete, HugeContentLengthSaturates) {
    const std::string body(64, 'x');
    EXPECT_FALSE(complete(kHead + "Content-Length: 2147483647\r\n\r\n" + body));
    EXPECT_FALSE(complete(kHead + "Content-Length: 2147483648\r\n\r\n" + body));
    EXPECT_FALSE(complete(kHead + "Content-Length: 99999999999999999999999999\r\n\r\n" + body));
    // A negative length, read as atoi reads it, is already satisfied at the header end.
    EXPECT_TRUE(complete(kHead + "Content-Length: -99999999999999999999999999\r\n\r\n"));
}

TEST(PortlinkResponseComplete, WithoutContentLengthNeverComplete) {
    EXPECT_FALSE(complete(kHead + "\r\n" + std::string(200, 'x')));
    EXPECT_FALSE(complete(""));
    EXPECT_FALSE(isResponseComplete(nullptr, 0));
}

TEST(PortlinkResponseComplete, LooksOnlyAtCountBytesUpToFirstZero) {
    const std::string full = kHead + "Content-Length: 0\r\n\r\n";
    // What lies in the buffer past count is never examined.
    for (size_t cut = 0; cut < full.size(); ++cut)
        EXPECT_FALSE(isResponseComplete(full.data(), cut)) << cut;
    // The searches end at a zero byte in the header...
    std::string zeroInHeader = kHead + '\0' + "Content-Length: 0\r\n\r\n";
    EXPECT_FALSE(complete(zeroInHeader));
    // ...but the body length is compared with every byte received.
    std::string zeroInBody = kHead + "Content-Length: 3\r\n\r\n" + std::string("a\0c", 3);
    EXPECT_TRUE(complete(zeroInBody));
    EXPECT_FALSE(isResponseComplete(zeroInBody.data(), zeroInBody.size() - 1));
}
