#include "win/next_router_probe.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <cstring>

#include "upstream_finder.h"
#include "win/win_handles.h"

namespace portlink {

namespace {

// The echo's data: a few bytes, as any ping sends.
constexpr char kEchoData[8] = {'p', 'o', 'r', 't', 'l', 'i', 'n', 'k'};

} // namespace

uint32_t probeNextRouter() {
    UniqueIcmpHandle icmp;
    if (!icmp.valid())
        return 0;
    IPAddr target;
    std::memcpy(&target, kNextRouterProbeTarget, sizeof target);
    IP_OPTION_INFORMATION options = {};
    options.Ttl = kNextRouterProbeTtl;
    // Room for one reply, the echoed data and an ICMP error's 8 bytes, which is what the call
    // asks for, and the I/O status block (two pointers) that newer systems put after them,
    // with margin to spare.
    alignas(ICMP_ECHO_REPLY) unsigned char
        reply[sizeof(ICMP_ECHO_REPLY) + sizeof kEchoData + 8 + 2 * sizeof(void *) + 256] = {};
    char data[sizeof kEchoData];
    std::memcpy(data, kEchoData, sizeof data);
    const DWORD replies = IcmpSendEcho(icmp.get(), target, data, sizeof data, &options, reply,
                                       sizeof reply, kNextRouterProbeWaitMs);
    // The expired TTL comes back as a reply with that status; some systems report it as the
    // error of the call instead, with the reply filled all the same.
    if (replies == 0 && GetLastError() != IP_TTL_EXPIRED_TRANSIT)
        return 0;
    ICMP_ECHO_REPLY answer;
    std::memcpy(&answer, reply, sizeof answer);
    return answer.Status == IP_TTL_EXPIRED_TRANSIT ? answer.Address : 0;
}

} // namespace portlink
