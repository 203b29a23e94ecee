#!/usr/bin/env bash
# Sets up this machine, builds the library, its tools and the sample data generator in Release,
# and runs a short demonstration of the mdk tool on files it makes and on the sample data set.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
build=${MDNIO_BUILD:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DMDNIO_TESTS=OFF
cmake --build "$build"
"$build"/tools/mdk version
scripts/demo.sh "$build"
