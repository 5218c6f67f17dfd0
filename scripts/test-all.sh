#!/usr/bin/env bash
# Every test: native unit tests and fuzzers (ASan/UBSan), the static checks of both flavours'
# PE files, then the Wine tests of all three deliverables in network namespaces, for each
# flavour that this host can run (WINE_FLAVOURS forces the set), under one ctest run whose
# last lines count them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
# One line on which flavours run and why; the flavours left out come back as a label regex.
skip=$(python3 -m testbed.flavours)
# Wine tests mostly wait (timeouts, sleeps), so more of them than cores run at once.
exec ctest --preset all -j "${TEST_JOBS:-6}" ${skip:+-LE "$skip"} "$@"
