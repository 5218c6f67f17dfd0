#include "http_framing.h"

#include <gtest/gtest.h>

#include <cstdio>
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

namespace {

const std::string kChunkedHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n";

std::string decoded(const std::string &bytes) { return decodeAnswer(bytes.data(), bytes.size()); }

// One chunk of `data`: its size in hex, CR LF, the data, CR LF.
std::string chunk(const std::string &data) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx", data.size());
    return size + ("\r\n" + data) + "\r\n";
}

} // namespace

TEST(PortlinkChunkedAnswer, CompleteAtTheLastChunkAndDecoded) {
    const struct {
        const char *note;
        std::string body, data;
    } cases[] = {
        {"two chunks", chunk("<root><URLBase>http://gw/\r\n") + chunk("</URLB") + "0\r\n\r\n",
         "<root><URLBase>http://gw/\r\n</URLB"},
        {"upper-case hex, an extension, blanks", "A;name=\"v\"\r\n0123456789\r\n3 \r\nabc\r\n000\r\n\r\n",
         "0123456789abc"},
        {"trailer lines", "2\r\nok\r\n0\r\nX-Trailer: 1\r\nY: 2\r\n\r\n", "ok"},
        {"no body", "0\r\n\r\n", ""},
        {"zero bytes inside a chunk", std::string("3\r\na\0c\r\n0\r\n\r\n", 13), std::string("a\0c", 3)},
    };
    for (const auto &c : cases) {
        const std::string answer = kChunkedHead + c.body;
        EXPECT_TRUE(complete(answer)) << c.note;
        EXPECT_EQ(decoded(answer), kChunkedHead + c.data) << c.note;
        // Not before its last byte: every shorter cut is incomplete and decodes to a prefix.
        for (size_t cut = 0; cut < answer.size(); ++cut) {
            ASSERT_FALSE(isResponseComplete(answer.data(), cut)) << c.note << " cut " << cut;
            const std::string part = decodeAnswer(answer.data(), cut);
            if (cut >= kChunkedHead.size())
                EXPECT_EQ((kChunkedHead + c.data).compare(0, part.size(), part), 0) << c.note;
        }
    }
}

TEST(PortlinkChunkedAnswer, FramingFromEveryTransferEncodingField) {
    const auto C = BodyFraming::Chunked;
    const auto U = BodyFraming::Unreadable;
    const auto L = BodyFraming::ContentLength;
    const struct {
        const char *header;
        BodyFraming framing;
    } cases[] = {
        {"transfer-encoding: CHUNKED", C},
        {"Transfer-Encoding:chunked", C},
        {"TRANSFER-ENCODING: \tchunked \t", C},
        {"Transfer-Encoding: , chunked,", C},
        {"Content-Length: 2\r\nTransfer-Encoding: chunked", C},
        {"Transfer-Encoding: gzip, chunked", U},
        {"Transfer-Encoding: chunked, gzip", U},
        {"Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip", U},
        {"Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked", U},
        {"Transfer-Encoding: identity", U},
        {"Transfer-Encoding: chunkedx", U},
        {"Transfer-Encoding:", U},
        {"Content-Length: 2\r\nTransfer-Encoding: gzip", U},
        {"X-Transfer-Encoding: chunked", L},
        {"Transfer-Encoding : chunked", L},
    };
    for (const auto &c : cases) {
        const std::string answer =
            std::string("HTTP/1.1 200 OK\r\n") + c.header + "\r\n\r\n2\r\nok\r\n0\r\n\r\n";
        EXPECT_EQ(bodyFraming(answer.data(), answer.size()), c.framing) << c.header;
        // Chunked answers end at their last chunk and are decoded; an answer we cannot read
        // ends at its header; the others wait for their Content-Length or the close.
        EXPECT_EQ(complete(answer), c.framing != L) << c.header;
        EXPECT_EQ(decoded(answer), c.framing == C
                                       ? answer.substr(0, answer.find("\r\n\r\n") + 4) + "ok"
                                       : answer)
            << c.header;
    }
    // Before the header end, nothing is judged.
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n";
    EXPECT_EQ(bodyFraming(head.data(), head.size()), L);
    EXPECT_FALSE(complete(head));
}

TEST(PortlinkChunkedAnswer, BrokenFramingEndsTheWaitAndKeepsWhatCameBefore) {
    const struct {
        const char *note;
        std::string body, data;
    } cases[] = {
        {"not a size", "zz\r\nabc\r\n", ""},
        {"size line without digits", ";x\r\nabc\r\n", ""},
        {"data longer than its size", "2\r\nabc\r\n0\r\n\r\n", "ab"},
        {"huge size", "2\r\nok\r\nffffffffffffffffff\r\nabc", "ok"},
        {"junk after the digits", "2x\r\nok\r\n", ""},
        {"a line end without its line feed", "2\rok", ""},
    };
    for (const auto &c : cases) {
        const std::string answer = kChunkedHead + c.body;
        EXPECT_TRUE(complete(answer)) << c.note;
        EXPECT_EQ(decoded(answer), kChunkedHead + c.data) << c.note;
    }
    // A size past everything that can arrive, announced but not yet sent: the exchange waits
    // (until the buffer is full or the time is up) and keeps what came.
    const std::string announced = kChunkedHead + "2800\r\n" + std::string(100, 'x');
    EXPECT_FALSE(complete(announced));
    EXPECT_EQ(decoded(announced), kChunkedHead + std::string(100, 'x'));
}
