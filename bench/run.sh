#!/usr/bin/env bash
# Builds mdnio_bench in Release (in build-bench/, beside the other build folders) and runs it;
# arguments go to the program, e.g. bench/run.sh --records 200000 --runs 3 --json bench.json
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
build=${MDNIO_BENCH_BUILD:-build-bench}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMDNIO_TESTS=OFF -DMDNIO_TOOLS=OFF \
      >/dev/null
cmake --build "$build" --target mdnio_bench
"$build"/bench/mdnio_bench "$@"
