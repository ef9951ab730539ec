#!/usr/bin/env bash
# The main job: builds pellory-cli and runs a complete update against the built-in simulated logger,
# paced like a real line so the progress can be followed. Extra arguments go to pellory-cli.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-missing.sh cmake ninja-build g++ make nlohmann-json3-dev libcli11-dev
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELLORY_TESTS=OFF >/dev/null
cmake --build build/demo -j"${JOBS:-2}" --target pellory-cli >/dev/null
exec build/demo/cli/pellory-cli update --port sim --yes --sim-pace "${PACE:-38400}" "$@"
