#!/usr/bin/env bash
# Builds the request-loop fuzz target with clang and runs it for SECONDS
# (default 120) from the seed corpus; exits non-zero on any finding.
# Findings land in fuzz-findings/; the corpus grows in build-fuzz/corpus.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-120}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCAPI_BRIDGE_FUZZ=ON -DCAPI_BRIDGE_TESTS=OFF \
  -DCAPI_BRIDGE_SANITIZE=address,undefined -DCAPI_BRIDGE_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target request_loop_fuzzer fake_capi_full
fuzz/make_seeds.sh build-fuzz/seeds
mkdir -p build-fuzz/corpus fuzz-findings
FAKE_CAPI_SCRIPT=$PWD/fuzz/incoming.script \
  build-fuzz/fuzz/request_loop_fuzzer -max_total_time="$seconds" -max_len=65536 \
  -dict=fuzz/requests.dict -artifact_prefix=fuzz-findings/ -print_final_stats=1 \
  build-fuzz/corpus build-fuzz/seeds
