#pragma once
// PCP (RFC 6887) and NAT-PMP (RFC 6886) port mapping without the sockets: the bytes of each
// request, the reading of an answer datagram, which request an answer belongs to, and the
// timing rules (resends, renewal, the server's epoch).  No state of its own; any thread.
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace portlink {

constexpr uint16_t kPortControlPort = 5351;      // the gateway's UDP port, for both protocols
constexpr uint32_t kMappingLifetime = 600;       // seconds asked for
constexpr size_t kPortControlMaxDatagram = 1100; // RFC 6887 §7: no PCP message is longer
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
// Result codes that mean the same in both protocols; the others differ (see PCP-NATPMP.md).
constexpr uint16_t kResultSuccess = 0;
constexpr uint16_t kResultUnsupportedVersion = 1;

constexpr size_t kNonceSize = 12;
using MappingNonce = std::array<uint8_t, kNonceSize>;

// Addresses are IPv4 in network order, as elsewhere in portlink: the first octet is the byte
// stored first.  Protocols are IANA numbers (kProtocolTcp, kProtocolUdp).

// --- requests: the exact bytes to send ---------------------------------------------------

// PCP ANNOUNCE, 24 bytes: version 2, opcode 0, lifetime 0, the client as ::ffff:a.b.c.d.
// `clientAddress` must be the source address the datagram goes out from (RFC 6887 §8.1).
std::vector<uint8_t> pcpAnnounceRequest(uint32_t clientAddress);

// PCP MAP, 60 bytes, no options.  The suggested external address is ::ffff:0.0.0.0 (none);
// lifetime 0 deletes the mapping named by nonce, protocol and internal port (RFC 6887 §15).
std::vector<uint8_t> pcpMapRequest(const MappingNonce &nonce, uint8_t protocol,
                                   uint16_t internalPort, uint16_t suggestedExternalPort,
                                   uint32_t lifetime, uint32_t clientAddress);

// NAT-PMP external address request, 2 bytes: version 0, opcode 0.
std::vector<uint8_t> natPmpAddressRequest();

// NAT-PMP map request, 12 bytes: opcode 1 for UDP, 2 for TCP.  Lifetime 0 deletes, and then
// the suggested external port is sent as 0 whatever is passed (RFC 6886 §3.4).  Empty for a
// protocol NAT-PMP cannot map (anything but TCP and UDP): there is nothing to send.
std::vector<uint8_t> natPmpMapRequest(uint8_t protocol, uint16_t internalPort,
                                      uint16_t suggestedExternalPort, uint32_t lifetime);

// --- answers -----------------------------------------------------------------------------

enum class AnswerKind {
    Foreign,       // not a well-formed answer of a kind we ask for: drop it
    PcpAnnounce,   // version 2, opcode 0x80
    PcpMap,        // version 2, opcode 0x81
    NatPmpAddress, // version 0, opcode 128, result other than 1
    NatPmpMap,     // version 0, opcode 129 (UDP) or 130 (TCP), result other than 1
    // Version 0, opcode 128, 129 or 130, result 1: the server does not speak the version
    // asked for.  Sent for a PCP request by a NAT-PMP-only server (RFC 6887 §9): speak
    // NAT-PMP to it.  Sent for a NAT-PMP request, it means the server speaks neither.
    UnsupportedVersionV0,
};

struct PortControlAnswer {
    // Foreign: nothing else is set.  UnsupportedVersionV0: only `result`, always 1.
    AnswerKind kind = AnswerKind::Foreign;
    uint16_t result = 0;       // PCP result code (1 byte) or NAT-PMP result code (2 bytes)
    uint32_t lifetime = 0;     // granted (PCP: header, for errors how long the error holds;
                               // NAT-PMP map: its field)
    uint32_t epoch = 0;        // PCP epoch time / NAT-PMP seconds since start of epoch
    MappingNonce nonce{};      // PcpMap
    uint8_t protocol = 0;      // PcpMap: its byte; NatPmpMap: from the opcode, 129 UDP, 130 TCP
    uint16_t internalPort = 0; // maps
    uint16_t externalPort = 0; // maps: assigned
    // NatPmpAddress with result 0 (an error answer's address is ignored, RFC 6886 §3.2);
    // PcpMap when the assigned address is IPv4-mapped (::ffff:a.b.c.d), else 0.
    uint32_t externalAddress = 0;
};

// Reads one datagram that came from the gateway's port 5351.  Never reads past `count`.
// Everything that breaks the rules below is Foreign and must not count as an answer.
// PCP (first byte 2), RFC 6887 §7, §8.3: at least 24 and at most 1100 bytes, a multiple of
// 4, the R bit set, opcode ANNOUNCE or MAP.  After the header and the opcode's data (none
// for ANNOUNCE, 36 bytes for MAP) only options may follow, each a 4-byte head (code,
// reserved, length) and its data padded to a multiple of 4, all within the datagram; they
// are skipped.  This holds for error answers too: a MAP answer shorter than 60 bytes lacks
// the nonce that ties it to a request.  Result 1 (UNSUPP_VERSION) in a version 2 header is
// read as any other error answer of its opcode: the server does speak version 2.
// NAT-PMP (first byte 0), RFC 6886 §3.2, §3.3, §3.5: an address answer is exactly 12 bytes
// and a map answer exactly 16, error answers included (failures carry every field).  The
// "Unsupported Version" answer needs only its first 4 bytes (version, opcode, result; RFC
// 6886 sends 8, a server that echoes the request more) and at most 1100.  An opcode with the
// top bit clear is a request, never an answer.  Any other first byte is Foreign.
PortControlAnswer readPortControlAnswer(const uint8_t *bytes, size_t count);

// An answer to a PCP ANNOUNCE: PCP's own, or a server that speaks only NAT-PMP saying so.
bool answersPcpAnnounce(const PortControlAnswer &answer);
// That answer shows a PCP server that serves this client: PCP's, with SUCCESS.
bool showsPcpServer(const PortControlAnswer &answer);

// A PCP MAP answer to our request: opcode MAP with the R bit, and our nonce, protocol and
// internal port (RFC 6887 §11.4).
bool answersPcpMap(const PortControlAnswer &answer, const MappingNonce &nonce, uint8_t protocol,
                   uint16_t internalPort);

// A NAT-PMP map answer to our request: opcode 128 + ours (so our protocol) and our internal
// port; NAT-PMP has no nonce.
bool answersNatPmpMap(const PortControlAnswer &answer, uint8_t protocol, uint16_t internalPort);

// --- timing ------------------------------------------------------------------------------

// One request is sent at 0 ms, again 250 ms later, and then after gaps that double each time,
// for as long as the wait lasts: kResendWindowMs from the first send.  So the sends are at 0,
// 250, 750 and 1750 ms and the wait ends at 2000.
constexpr int32_t kFirstResendGapMs = 250;
constexpr int32_t kResendWindowMs = 2000;

// The time of the first send after `elapsedMs` (ms since the first send; a negative value
// counts as before it), or kResendWindowMs when no send is left before the wait ends.
int32_t nextSendAtMs(int32_t elapsedMs);

// How long after a granted answer to renew the mapping: half its lifetime, at least 1 s (also
// for lifetime 0).  The longest lifetime gives about 2.1e12 ms: the caller's timer may need to
// split or cap that.
uint64_t renewalDelayMs(uint32_t grantedLifetime);

// What the client remembers of one server's epoch (RFC 6887 §8.5), for PCP and NAT-PMP alike
// (RFC 6886 §3.6 asks for no more).  Starts unknown; a new server, or the same server reached
// by the other protocol, starts a new state.
struct EpochState {
    bool known = false;
    uint32_t epoch = 0;    // the previous answer's epoch
    uint64_t clientMs = 0; // the client's clock (ms, monotonic) when that answer came
};

// Feeds one answer's epoch, received at client time `nowMs`, into `state` and tells whether
// the server lost its state since the previous answer, so every mapping must be made again
// at once.  Lost when the epoch is more than 1 below the previous one, or when the server's
// and the client's time since the previous answer disagree by more than 2 s plus a sixteenth
// of either (RFC 6887 §8.5: client delta + 2 < server delta - server delta / 16, or the same
// with the two swapped).  The first answer of a state never counts as lost.  The state
// always takes the new epoch and time, lost or not.
bool serverLostState(EpochState &state, uint32_t epoch, uint64_t nowMs);

} // namespace portlink
