#!/usr/bin/env bash
# The main job: in a sandboxed LAN with a real gateway (all in network namespaces made here),
# portlink finds the gateway, maps a port, proves it from the WAN side and removes it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$(nproc)"
exec python3 scripts/main_job.py "$@"
