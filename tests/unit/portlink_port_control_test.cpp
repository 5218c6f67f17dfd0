#include "port_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

using namespace portlink;

namespace {

// Bytes from hex digits; blanks are skipped, "+N" adds N zero bytes.
std::vector<uint8_t> hex(const std::string &text) {
    std::vector<uint8_t> out;
    for (size_t i = 0, used = 1; i < text.size(); i += used) {
        used = 1;
        if (text[i] == '+') {
            out.resize(out.size() + std::stoul(text.substr(i + 1), &used));
            ++used;
        } else if (text[i] != ' ') {
            out.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
            used = 2;
        }
    }
    return out;
}

// Read from a block of exactly the datagram's size, so that ASan sees any read past it.
PortControlAnswer read(const std::vector<uint8_t> &bytes) {
    const std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), exact.get());
    return readPortControlAnswer(exact.get(), bytes.size());
}

auto fields(const PortControlAnswer &a) {
    return std::make_tuple(a.kind, a.result, a.lifetime, a.epoch, a.nonce, a.protocol,
                           a.internalPort, a.externalPort, a.externalAddress);
}

const uint32_t kClient = 0x144da8c0; // 192.168.77.20 in network order
const MappingNonce kNonce{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
// PCP MAP answer: SUCCESS, lifetime 3600, epoch 0x100; TCP 8080 -> 40000 at 203.0.113.9.
const std::string kPcpMapHead = "0281 0000 00000e10 00000100 +12 0102030405060708090a0b0c"
                                "06000000 1f90 9c40 "; // 44 bytes, up to the address
const std::string kPcpMap = kPcpMapHead + "+10 ffff cb007109";
const std::string kNatPmpMap = "0082 0000 00000100 1f90 9c40 00001c20"; // TCP, 2 h

} // namespace

TEST(PortlinkPortControl, RequestsByteForByte) {
    const std::pair<std::vector<uint8_t>, std::string> rows[] = {
        {pcpAnnounceRequest(kClient), "0200 0000 00000000 +10 ffff c0a84d14"},
        {pcpMapRequest(kNonce, 6, 8080, 40000, 7200, kClient),
         "0201 0000 00001c20 +10 ffff c0a84d14 0102030405060708090a0b0c 06000000 1f90 9c40 "
         "+10 ffff 00000000"},
        {natPmpAddressRequest(), "0000"},
        {natPmpMapRequest(17, 8080, 40000, 7200), "0001 0000 1f90 9c40 00001c20"},
        {natPmpMapRequest(6, 8080, 40000, 0), "0002 0000 1f90 0000 00000000"},
        {natPmpMapRequest(1, 8080, 40000, 7200), ""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(row.first, hex(row.second)) << row.second;
}

TEST(PortlinkPortControl, AnswersRead) {
    using K = AnswerKind;
    const MappingNonce none{};
    const std::pair<std::string, PortControlAnswer> rows[] = {
        {"0280 0000 00000000 12345678 +12", {K::PcpAnnounce, 0, 0, 0x12345678, none}},
        {kPcpMap, {K::PcpMap, 0, 3600, 0x100, kNonce, 6, 8080, 40000, 0x097100cb}},
        // Options skipped: one with no data, one of 5 bytes padded to 8.
        {kPcpMap + "02000000 01000005 0102030405000000",
         {K::PcpMap, 0, 3600, 0x100, kNonce, 6, 8080, 40000, 0x097100cb}},
        {kPcpMapHead + "+12 cb007109", // ::203.0.113.9 is not IPv4-mapped
         {K::PcpMap, 0, 3600, 0x100, kNonce, 6, 8080, 40000, 0}},
        // The largest datagram: 24 + an option of 1072 bytes.
        {"0280 0001 00000000 00000007 +12 0100 0430 +1072", {K::PcpAnnounce, 1, 0, 7, none}},
        {"0080 0000 00000100 cb007109", {K::NatPmpAddress, 0, 0, 0x100, none, 0, 0, 0, 0x097100cb}},
        {"0080 0003 00000100 cb007109", {K::NatPmpAddress, 3, 0, 0x100, none}},
        {kNatPmpMap, {K::NatPmpMap, 0, 7200, 0x100, none, 6, 8080, 40000}},
        {"0081 0102 00000100 1f90 0000 00000000", // a 16-bit result
         {K::NatPmpMap, 0x102, 0, 0x100, none, 17, 8080}},
        // Result 1 in any length from 4 to 1100 bytes, the address answer's layout included.
        {"0080 0001", {K::UnsupportedVersionV0, 1}},
        {"0080 0001 00000100 00000000", {K::UnsupportedVersionV0, 1}},
        {"0082 0001 +1096", {K::UnsupportedVersionV0, 1}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(fields(read(hex(row.first))), fields(row.second)) << row.first;
}

TEST(PortlinkPortControl, MalformedDatagramsAreForeign) {
    const std::string announce = "0280 0000 00000000 00000001 +12"; // good as it is
    const std::string rows[] = {
        "", "02", "0300" + kNatPmpMap.substr(4), "0181" + kPcpMap.substr(4), // no version of ours
        // PCP: short, not a multiple of 4, too long, MAP without (all of) its data.
        "0280 0000 00000000 00000001 +8", announce + "0000", announce + "+1080",
        kPcpMapHead + "+12", "0281 0001 00000000 00000001 +12",
        // A request; opcode PEER; option data running past the end.
        "0201" + kPcpMap.substr(4), "0282" + kPcpMap.substr(4), kPcpMap + "0000 0005 00000000",
        announce + "0100 0004",
        // NAT-PMP: short, long, request, unknown opcode, Unsupported Version cut or too long.
        "0080 0000 00000100 cb0071", kNatPmpMap + "00", "0082 0000 00000100 1f90 9c40 0000",
        "0002" + kNatPmpMap.substr(4), "0083" + kNatPmpMap.substr(4), "0000 0001 00000100",
        "008000", "0081 0001 +1097"};
    for (const std::string &bytes : rows)
        EXPECT_EQ(read(hex(bytes)).kind, AnswerKind::Foreign) << bytes;
}

TEST(PortlinkPortControl, AnswersMatchOnlyTheirRequest) {
    const PortControlAnswer pcp = read(hex(kPcpMap)), natPmp = read(hex(kNatPmpMap));
    MappingNonce other = kNonce;
    other[11] = 0;
    EXPECT_TRUE(answersPcpMap(pcp, kNonce, 6, 8080));
    EXPECT_TRUE(answersNatPmpMap(natPmp, 6, 8080));
    // One part differing at a time, or the other protocol's answer with the same fields.
    EXPECT_FALSE(answersPcpMap(pcp, other, 6, 8080) || answersPcpMap(pcp, kNonce, 17, 8080) ||
                 answersPcpMap(pcp, kNonce, 6, 8081) || answersPcpMap(natPmp, {}, 6, 8080));
    EXPECT_FALSE(answersNatPmpMap(natPmp, 17, 8080) || answersNatPmpMap(natPmp, 6, 8081) ||
                 answersNatPmpMap(pcp, 6, 8080));
    // An ANNOUNCE is answered by PCP's own answer or NAT-PMP's "unsupported version"; only
    // PCP's with SUCCESS shows a server that maps for us.
    struct Row {
        const char *bytes;
        bool answers, pcpServer;
    };
    for (const Row &r : {Row{"0280 0000 00000000 12345678 +12", true, true},
                         Row{"0280 0002 00000000 12345678 +12", true, false},
                         Row{"0080 0001", true, false}, Row{kNatPmpMap.c_str(), false, false},
                         Row{kPcpMap.c_str(), false, false}}) {
        const PortControlAnswer a = read(hex(r.bytes));
        EXPECT_EQ(answersPcpAnnounce(a), r.answers) << r.bytes;
        EXPECT_EQ(showsPcpServer(a), r.pcpServer) << r.bytes;
    }
}

TEST(PortlinkPortControl, ResendAndRenewalTimes) {
    const std::pair<int32_t, int32_t> sends[] = {{-1, 0},      {0, 250},     {249, 250},
                                                 {250, 750},   {1749, 1750}, {1750, 2000},
                                                 {1999, 2000}, {9000, 2000}};
    for (const auto &row : sends)
        EXPECT_EQ(nextSendAtMs(row.first), row.second) << row.first;
    const std::pair<uint32_t, uint64_t> renewals[] = {
        {0, 1000}, {2, 1000}, {3, 1500}, {7200, 3600000}, {UINT32_MAX, 2147483647500}};
    for (const auto &row : renewals)
        EXPECT_EQ(renewalDelayMs(row.first), row.second) << row.first;
}

TEST(PortlinkPortControl, EpochTellsWhenTheServerLostItsState) {
    // Epoch and client time of an answer after one with epoch 1000 at 50000 ms; lost or not.
    const std::tuple<uint32_t, uint64_t, bool> rows[] = {
        {1000, 50000, false}, {1010, 60000, false}, // no time passed; 10 s on both clocks
        {999, 50500, false},  {998, 50000, true},   // back by 1 is fine, back by 2 is lost
        {1032, 77999, true},  {1032, 78000, false}, // server +32 s: the client needs 28 s
        {1027, 82000, true},  {1028, 82000, false}, // client +32 s: the server needs 28 s
        {0, 50000, true},     {UINT32_MAX, UINT64_MAX, true}, // reset; extremes, no overflow
        {1000, 49000, false}, // the client's clock 1 s back: within the 2 s
    };
    for (const auto &[epoch, nowMs, lost] : rows) {
        EpochState state;
        EXPECT_FALSE(serverLostState(state, 1000, 50000)); // the first answer never is
        EXPECT_EQ(serverLostState(state, epoch, nowMs), lost) << epoch << " " << nowMs;
        // The state moved on: the same answer again shows nothing lost.
        EXPECT_FALSE(serverLostState(state, epoch, nowMs)) << epoch << " " << nowMs;
    }
}
