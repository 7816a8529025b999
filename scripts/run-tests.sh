#!/usr/bin/env bash
# Installs what is needed, builds everything and runs every test.
# --sanitize builds with AddressSanitizer and UndefinedBehaviorSanitizer (CI does).
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=OFF
build_dir=build
if [ "${1:-}" = "--sanitize" ]; then
    sanitize=ON
    build_dir=build-sanitize
fi

./scripts/install-deps.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHM_SANITIZE="$sanitize"
cmake --build "$build_dir"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" --timeout 300
