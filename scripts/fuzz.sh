#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, under AddressSanitizer and
# UndefinedBehaviorSanitizer and with every library instrumented for coverage, then runs each target for
# the given time, several at once, starting from its seed corpus in tests/fuzz/corpus/<target>/.
#
#   scripts/fuzz.sh [--time SECONDS] [--jobs N] [TARGET...]
#
# --time is per target (default 600), --jobs how many targets run at once (default 3); without targets
# all run (the zip reader's seeds are its samples in tests/app/zip/samples). Inputs that crash, leak
# memory past the limit or hang are kept in build-fuzz/findings/<target>/, the grown corpora in
# build-fuzz/corpus/<target>/ and each run's output in build-fuzz/logs/<target>.log. Prints each
# target's runs and coverage; fails when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=600
jobs=3
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
    --time) seconds="$2"; shift 2 ;;
    --jobs) jobs="$2"; shift 2 ;;
    -h | --help) sed -n '2,12p' "$0"; exit 0 ;;
    *) targets+=("$1"); shift ;;
    esac
done
if [ ${#targets[@]} -eq 0 ]; then
    for corpus in tests/fuzz/corpus/*/; do
        targets+=("$(basename "$corpus")")
    done
    targets+=(fuzz_zip_reader)
fi

seeds_of() {
    if [ "$1" = fuzz_zip_reader ]; then
        echo tests/app/zip/samples
    else
        echo "tests/fuzz/corpus/$1"
    fi
}

if ! command -v clang++ >/dev/null || ! compgen -G '/usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a' >/dev/null; then
    echo "fuzzing needs clang and its libFuzzer: apt-get install clang libclang-rt-14-dev" >&2
    exit 1
fi

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DHM_SANITIZE=ON -DHM_BUILD_FUZZ=ON \
    -DHM_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TZ=UTC LANG=C.UTF-8 QT_QPA_PLATFORM=offscreen

run_target() {
    local target="$1"
    mkdir -p "$build/corpus/$target" "$build/findings/$target" "$build/logs"
    "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
        -artifact_prefix="$build/findings/$target/" "$build/corpus/$target" "$(seeds_of "$target")" \
        >"$build/logs/$target.log" 2>&1
}

failed=()
running=0
for target in "${targets[@]}"; do
    if [ "$running" -ge "$jobs" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    run_target "$target" &
    running=$((running + 1))
done
wait || true

for target in "${targets[@]}"; do
    log="$build/logs/$target.log"
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')
    coverage=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo '?')
    features=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || echo '?')
    findings=$(find "$build/findings/$target" -type f | wc -l)
    printf '%-24s runs %-10s coverage %-6s features %-6s findings %s\n' "$target" "$runs" "$coverage" "$features" \
        "$findings"
    if [ "$findings" -gt 0 ] || ! grep -q 'Done [0-9]* runs' "$log"; then
        failed+=("$target")
    fi
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "found something: ${failed[*]} (see $build/logs and $build/findings)" >&2
    exit 1
fi
