#pragma once
// The router beyond the gateway, found by the route an echo takes.
#include <cstdint>

namespace portlink {

// How long the probe waits for its answer.
constexpr uint32_t kNextRouterProbeWaitMs = 1000;

// Sends one ICMP echo with a TTL of kNextRouterProbeTtl to kNextRouterProbeTarget and waits up
// to kNextRouterProbeWaitMs: the gateway passes it on, and the router after it, where the TTL
// runs out, answers "TTL expired in transit".  Returns that answer's source (network order), or
// 0 for any other outcome: no answer, an echo reply, an unreachable report, no ICMP handle.
uint32_t probeNextRouter();

} // namespace portlink
