#!/usr/bin/env bash
# The main job: in a sandboxed dual-stack LAN with a real gateway (all in network namespaces
# made here), portlink finds the gateway, maps a port, opens it over IPv6 too (a pinhole),
# proves both from the WAN side and removes them.  It runs the PE32 product where this host
# runs 32-bit code, else its PE32+ flavour; on the stock gateway (UPnP), on the same gateway
# with UPnP off (PCP; no pinhole under Wine) and on its IGDv1 view with PCP on (the mapping by
# UPnP, the pinhole by PCP); then behind two routers (a scripted inner router, the same real
# gateway as the outer one), the port mapped at both and proven through both.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done
exec python3 scripts/main_job.py "$@"
