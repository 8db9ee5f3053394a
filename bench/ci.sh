#!/usr/bin/env bash
# The benchmark stage: builds q55x and q55x-bench in the given build directory and runs the short
# form, which exits 1 when a goal is missed (see docs/performance.md).
#   JOBS=2 ./bench/ci.sh build
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
JOBS=${JOBS:-2}
# shellcheck source=../cmake/pkgs.sh
. cmake/pkgs.sh
stage_needs bench
cmake -S . -B "$dir" -G Ninja -DQ55X_WERROR=ON >/dev/null
cmake --build "$dir" -j "$JOBS" --target q55x q55x-bench
"$dir/bench/q55x-bench" --smoke --q55x "$dir/cli/q55x"
