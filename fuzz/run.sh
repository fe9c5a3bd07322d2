#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the request-loop fuzz target with clang and runs it for SECONDS
# (default 120) from the seed corpus; exits non-zero on any finding.
# Findings land in fuzz-findings/; the corpus grows in build-fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"
fuzz/make_seeds.sh build-fuzz/seeds
mkdir -p build-fuzz/corpus fuzz-findings
FAKE_CAPI_SCRIPT=$PWD/fuzz/incoming.script \
  build-fuzz/fuzz/request_loop_fuzzer -max_total_time="$seconds" -max_len=65536 \
  -dict=fuzz/requests.dict -artifact_prefix=fuzz-findings/ -print_final_stats=1 \
  build-fuzz/corpus build-fuzz/seeds
