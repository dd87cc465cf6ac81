#!/usr/bin/env bash
# Installs what is missing, builds Release into build/ (executables in build/bin/) and
# runs the main job. Until the server exists, the main job is the serialization
# benchmark (pass --no-bench to only build).
set -euo pipefail
cd "$(dirname "$0")"

scripts/install-deps.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$jobs"

echo
echo "Built:"
for f in build/bin/*; do [ -x "$f" ] && echo "  $f"; done
echo

if [ "${1:-}" != "--no-bench" ]; then
  build/bin/bench_serialize --benchmark_min_time=1
fi
