#!/usr/bin/env bash
# The main job: builds pellory-cli and runs a complete update against the built-in simulated logger,
# paced like a real line so the progress can be followed. Extra arguments go to pellory-cli.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-missing.sh cmake ninja-build g++ make nlohmann-json3-dev libcli11-dev
# Optimised as the tests' native build is, so that the compiler warnings CI sees are the ones this build meets.
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
  "-DCMAKE_C_FLAGS_RELEASE=-O2 -DNDEBUG" -DPELLORY_TESTS=OFF >/dev/null
# Quiet when it builds; the compiler's words when it does not.
if ! out=$(cmake --build build/demo -j"${JOBS:-2}" --target pellory-cli 2>&1); then
  echo "$out" >&2
  echo "pellory-cli could not be built" >&2
  exit 1
fi
exec build/demo/cli/pellory-cli update --port sim --yes --sim-pace "${PACE:-38400}" "$@"
