#!/usr/bin/env bash
# Sets up, builds tarn-tests and runs it on a bundled example snapshot.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target tarn-tests
if (($#)); then
  ./build/release/src/tarn-tests "$@"
else
  ./build/release/src/tarn-tests --footprint-only examples/halo-4x4.json
fi
