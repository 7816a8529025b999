#!/usr/bin/env bash
# Installs what is needed, builds everything (Release) and runs the main job: for now the largest
# whole path the project has, run as its end-to-end test.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build-release
ctest --test-dir build-release --output-on-failure -R "$(cat scripts/main-job.txt)"
