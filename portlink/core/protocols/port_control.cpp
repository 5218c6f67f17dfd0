#include "port_control.h"

#include <algorithm>
#include <cstring>

namespace portlink {

namespace {

constexpr uint8_t kPcpVersion = 2;
constexpr uint8_t kNatPmpVersion = 0;
constexpr uint8_t kResponseBit = 0x80;
constexpr uint8_t kOpAnnounce = 0;
constexpr uint8_t kOpMap = 1;
constexpr size_t kPcpHeaderSize = 24;
constexpr size_t kPcpMapSize = kPcpHeaderSize + 36;
constexpr size_t kNatPmpAddressAnswerSize = 12;
constexpr size_t kNatPmpMapAnswerSize = 16;

void put16(std::vector<uint8_t> &out, size_t at, uint32_t value) {
    out[at] = static_cast<uint8_t>(value >> 8);
    out[at + 1] = static_cast<uint8_t>(value);
}

void put32(std::vector<uint8_t> &out, size_t at, uint32_t value) {
    put16(out, at, value >> 16);
    put16(out, at + 2, value);
}

// 16 bytes at `at`: ::ffff:a.b.c.d, the IPv4-mapped form PCP carries IPv4 addresses in.
void putMappedAddress(std::vector<uint8_t> &out, size_t at, uint32_t address) {
    out[at + 10] = 0xff;
    out[at + 11] = 0xff;
    std::memcpy(&out[at + 12], &address, sizeof address);
}

uint16_t get16(const uint8_t *at) {
    return static_cast<uint16_t>(at[0] << 8 | at[1]);
}

uint32_t get32(const uint8_t *at) {
    return static_cast<uint32_t>(get16(at)) << 16 | get16(at + 2);
}

// A PCP header with `opcode`, lifetime and client address; the rest of `size` bytes zero.
std::vector<uint8_t> pcpRequest(uint8_t opcode, size_t size, uint32_t lifetime,
                                uint32_t clientAddress) {
    std::vector<uint8_t> out(size, 0);
    out[0] = kPcpVersion;
    out[1] = opcode;
    put32(out, 4, lifetime);
    putMappedAddress(out, 8, clientAddress);
    return out;
}

// True when [at, count) is a run of whole PCP options (RFC 6887 §7.3).  `at` and `count` are
// multiples of 4, and so is every step, so the walk can only end on `count` or fail.
bool wellFormedOptions(const uint8_t *bytes, size_t at, size_t count) {
    while (at < count) {
        if (count - at < 4)
            return false;
        const size_t padded = (static_cast<size_t>(get16(bytes + at + 2)) + 3) & ~size_t{3};
        if (padded > count - at - 4)
            return false;
        at += 4 + padded;
    }
    return true;
}

PortControlAnswer readPcp(const uint8_t *bytes, size_t count) {
    PortControlAnswer answer;
    if (count < kPcpHeaderSize || count > kPortControlMaxDatagram || count % 4 != 0)
        return answer;
    if ((bytes[1] & kResponseBit) == 0)
        return answer;
    const uint8_t opcode = bytes[1] & 0x7f;
    size_t dataEnd = kPcpHeaderSize;
    if (opcode == kOpMap)
        dataEnd = kPcpMapSize;
    else if (opcode != kOpAnnounce)
        return answer;
    if (count < dataEnd || !wellFormedOptions(bytes, dataEnd, count))
        return answer;

    answer.result = bytes[3];
    answer.lifetime = get32(bytes + 4);
    answer.epoch = get32(bytes + 8);
    if (opcode == kOpAnnounce) {
        answer.kind = AnswerKind::PcpAnnounce;
        return answer;
    }
    answer.kind = AnswerKind::PcpMap;
    std::memcpy(answer.nonce.data(), bytes + 24, kNonceSize);
    answer.protocol = bytes[36];
    answer.internalPort = get16(bytes + 40);
    answer.externalPort = get16(bytes + 42);
    static const uint8_t mappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (std::memcmp(bytes + 44, mappedPrefix, sizeof mappedPrefix) == 0)
        std::memcpy(&answer.externalAddress, bytes + 56, sizeof answer.externalAddress);
    return answer;
}

PortControlAnswer readNatPmp(const uint8_t *bytes, size_t count) {
    PortControlAnswer answer;
    if (count < 4 || count > kPortControlMaxDatagram)
        return answer;
    const uint8_t opcode = bytes[1];
    if (opcode < 128 || opcode > 130)
        return answer;
    const uint16_t result = get16(bytes + 2);
    if (result == kResultUnsupportedVersion) {
        answer.kind = AnswerKind::UnsupportedVersionV0;
        answer.result = result;
        return answer;
    }
    const size_t expected = opcode == 128 ? kNatPmpAddressAnswerSize : kNatPmpMapAnswerSize;
    if (count != expected)
        return answer;

    answer.result = result;
    answer.epoch = get32(bytes + 4);
    if (opcode == 128) {
        answer.kind = AnswerKind::NatPmpAddress;
        if (result == kResultSuccess)
            std::memcpy(&answer.externalAddress, bytes + 8, sizeof answer.externalAddress);
        return answer;
    }
    answer.kind = AnswerKind::NatPmpMap;
    answer.protocol = opcode == 129 ? kProtocolUdp : kProtocolTcp;
    answer.internalPort = get16(bytes + 8);
    answer.externalPort = get16(bytes + 10);
    answer.lifetime = get32(bytes + 12);
    return answer;
}

} // namespace

std::vector<uint8_t> pcpAnnounceRequest(uint32_t clientAddress) {
    return pcpRequest(kOpAnnounce, kPcpHeaderSize, 0, clientAddress);
}

std::vector<uint8_t> pcpMapRequest(const MappingNonce &nonce, uint8_t protocol,
                                   uint16_t internalPort, uint16_t suggestedExternalPort,
                                   uint32_t lifetime, uint32_t clientAddress) {
    std::vector<uint8_t> out = pcpRequest(kOpMap, kPcpMapSize, lifetime, clientAddress);
    std::memcpy(&out[24], nonce.data(), kNonceSize);
    out[36] = protocol;
    put16(out, 40, internalPort);
    put16(out, 42, suggestedExternalPort);
    putMappedAddress(out, 44, 0);
    return out;
}

std::vector<uint8_t> natPmpAddressRequest() {
    return {kNatPmpVersion, 0};
}

std::vector<uint8_t> natPmpMapRequest(uint8_t protocol, uint16_t internalPort,
                                      uint16_t suggestedExternalPort, uint32_t lifetime) {
    if (protocol != kProtocolUdp && protocol != kProtocolTcp)
        return {};
    std::vector<uint8_t> out(12, 0);
    out[0] = kNatPmpVersion;
    out[1] = protocol == kProtocolUdp ? 1 : 2;
    put16(out, 4, internalPort);
    put16(out, 6, lifetime == 0 ? 0 : suggestedExternalPort);
    put32(out, 8, lifetime);
    return out;
}

PortControlAnswer readPortControlAnswer(const uint8_t *bytes, size_t count) {
    if (count < 2)
        return {};
    if (bytes[0] == kPcpVersion)
        return readPcp(bytes, count);
    if (bytes[0] == kNatPmpVersion)
        return readNatPmp(bytes, count);
    return {};
}

bool answersPcpMap(const PortControlAnswer &answer, const MappingNonce &nonce, uint8_t protocol,
                   uint16_t internalPort) {
    return answer.kind == AnswerKind::PcpMap && answer.nonce == nonce &&
           answer.protocol == protocol && answer.internalPort == internalPort;
}

bool answersNatPmpMap(const PortControlAnswer &answer, uint8_t protocol, uint16_t internalPort) {
    return answer.kind == AnswerKind::NatPmpMap && answer.protocol == protocol &&
           answer.internalPort == internalPort;
}

int32_t nextSendAtMs(int32_t elapsedMs) {
    if (elapsedMs < 0)
        return 0;
    int32_t sendAt = kFirstResendGapMs;
    for (int32_t gap = kFirstResendGapMs; sendAt < kResendWindowMs; sendAt += gap) {
        if (sendAt > elapsedMs)
            return sendAt;
        gap *= 2;
    }
    return kResendWindowMs;
}

uint64_t renewalDelayMs(uint32_t grantedLifetime) {
    return std::max<uint64_t>(uint64_t{grantedLifetime} * 500, 1000);
}

bool serverLostState(EpochState &state, uint32_t epoch, uint64_t nowMs) {
    const EpochState previous = state;
    state = {true, epoch, nowMs};
    if (!previous.known)
        return false;
    if (uint64_t{epoch} + 1 < previous.epoch)
        return true;
    // In ms.  The server's delta lies within +-2^32 s; the client's is clamped to a range
    // far beyond that, where the verdict no longer changes, so nothing overflows.
    const int64_t serverDelta = (int64_t{epoch} - int64_t{previous.epoch}) * 1000;
    constexpr uint64_t kClamp = uint64_t{1} << 60;
    const int64_t clientDelta =
        nowMs >= previous.clientMs
            ? static_cast<int64_t>(std::min(nowMs - previous.clientMs, kClamp))
            : -static_cast<int64_t>(std::min(previous.clientMs - nowMs, kClamp));
    return clientDelta + 2000 < serverDelta - serverDelta / 16 ||
           serverDelta + 2000 < clientDelta - clientDelta / 16;
}

} // namespace portlink

namespace portlink {

bool answersPcpAnnounce(const PortControlAnswer &answer) {
    return answer.kind == AnswerKind::PcpAnnounce ||
           answer.kind == AnswerKind::UnsupportedVersionV0;
}

bool showsPcpServer(const PortControlAnswer &answer) {
    return answer.kind == AnswerKind::PcpAnnounce && answer.result == kResultSuccess;
}

} // namespace portlink
