#!/usr/bin/env bash
# Builds both flavours of the Windows programs (build/win32/bin: PE32 for x86, the product;
# build/win64/bin: PE32+ for x86-64) and the native tests (build/native).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
for preset in win32 win64 native; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
done
