#!/usr/bin/env bash
# Every test: native unit tests and fuzzers (ASan/UBSan), then the Wine tests of all three
# deliverables in network namespaces, under one ctest run whose last lines count them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh
# Wine tests mostly wait (timeouts, sleeps), so more of them than cores run at once.
exec ctest --preset all -j "${TEST_JOBS:-6}" "$@"
