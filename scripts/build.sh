#!/usr/bin/env bash
# Builds the Windows deliverables (build/win32/bin) and the native tests (build/native).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
