#!/usr/bin/env bash
# The main job: in a sandboxed LAN with a real gateway (all in network namespaces made here),
# portlink finds the gateway, maps a port, proves it from the WAN side and removes it.  It runs
# the PE32 product where this host runs 32-bit code, else its PE32+ flavour; on the stock
# gateway (UPnP), then on the same gateway with UPnP off (PCP).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
for preset in win32 win64; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done
exec python3 scripts/main_job.py "$@"
