// Reading of one datagram from the gateway's port 5351 as a PCP or NAT-PMP answer, and the
// matching of map answers.
#include "fuzz_input.h"
#include "port_control.h"

#include <cstring>
#include <tuple>

using fuzzing::require;
using namespace portlink;

namespace {

uint16_t at16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// Options from `at` on cover the datagram exactly (RFC 6887 §7.3), checked anew here.
bool optionsFit(const uint8_t *data, size_t at, size_t size) {
    while (at + 4 <= size)
        at += 4 + (at16(data + at + 2) + 3u) / 4 * 4;
    return at == size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const PortControlAnswer a = readPortControlAnswer(data, size);
    const bool pcp = size >= 24 && size <= 1100 && size % 4 == 0 && data[0] == 2;
    const bool v0 = size >= 4 && data[0] == 0;
    switch (a.kind) {
    case AnswerKind::Foreign: {
        const PortControlAnswer none;
        require(std::tie(a.result, a.lifetime, a.epoch, a.nonce, a.protocol, a.internalPort,
                         a.externalPort, a.externalAddress) ==
                std::tie(none.result, none.lifetime, none.epoch, none.nonce, none.protocol,
                         none.internalPort, none.externalPort, none.externalAddress));
        break;
    }
    case AnswerKind::PcpAnnounce:
        require(pcp && data[1] == 0x80 && optionsFit(data, 24, size) && a.result == data[3]);
        break;
    case AnswerKind::PcpMap:
        require(pcp && data[1] == 0x81 && size >= 60 && optionsFit(data, 60, size));
        require(a.result == data[3] && std::memcmp(a.nonce.data(), data + 24, kNonceSize) == 0);
        require(a.protocol == data[36] && a.internalPort == at16(data + 40));
        break;
    case AnswerKind::NatPmpAddress:
        require(v0 && data[1] == 128 && size == 12 && a.result == at16(data + 2));
        require(a.result != 1 && (a.result == 0 || a.externalAddress == 0));
        break;
    case AnswerKind::NatPmpMap:
        require(v0 && (data[1] == 129 || data[1] == 130) && size == 16 && a.result != 1);
        require(a.protocol == (data[1] == 129 ? 17 : 6) && a.internalPort == at16(data + 8));
        break;
    case AnswerKind::UnsupportedVersionV0:
        require(v0 && data[1] >= 128 && data[1] <= 130 && size <= 1100 && a.result == 1);
        require(at16(data + 2) == 1 && a.epoch == 0);
        break;
    }
    // A map answer matches its own request alone, and only as its own protocol's answer.
    MappingNonce other = a.nonce;
    other[size % kNonceSize] ^= 1;
    require(answersPcpMap(a, a.nonce, a.protocol, a.internalPort) ==
            (a.kind == AnswerKind::PcpMap));
    require(answersNatPmpMap(a, a.protocol, a.internalPort) == (a.kind == AnswerKind::NatPmpMap));
    require(!answersPcpMap(a, other, a.protocol, a.internalPort));
    require(!answersNatPmpMap(a, a.protocol, static_cast<uint16_t>(a.internalPort + 1)));
    return 0;
}
