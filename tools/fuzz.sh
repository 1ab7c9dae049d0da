#!/usr/bin/env bash
# Builds the fuzz targets of tests/fuzz with clang (libFuzzer, ASan, UBSan) and runs each for a bounded time.
#   tools/fuzz.sh [target...]     all fuzz_* targets when none is named
# FUZZ_SECONDS (default 60) per target, FUZZ_JOBS (default 1) targets at once, BUILD (default build-fuzz).
# New inputs go to <build>/corpus/<target>; the seeds in tests/fuzz/corpus/<target> are only read.
# A crash leaves its input in <build>/findings/<target>/ and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${BUILD:-build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
jobs="${FUZZ_JOBS:-1}"

if ! command -v clang++ >/dev/null || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    echo "Installing clang for libFuzzer"
    sudo=""
    if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
    $sudo apt-get update
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends clang
fi
./tools/install-deps.sh

cmake -S tests/fuzz -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for f in tests/fuzz/fuzz_*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target "${targets[@]}"

# A single allocation beyond 2 GiB fails as it would in the program (Qt's readers reserve whatever count a damaged
# stream claims, and the program survives the failed reserve); libFuzzer must not report it first.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=0:allocator_may_return_null=1:max_allocation_size_mb=2048"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
run_one() {
    local target="$1"
    local corpus="$build/corpus/$target" findings="$build/findings/$target"
    local seeds="tests/fuzz/corpus/$target"
    local dict=()
    mkdir -p "$corpus" "$findings" "$seeds"
    [ -f "tests/fuzz/dict/$target.dict" ] && dict=(-dict="tests/fuzz/dict/$target.dict")
    local log="$build/$target.log"
    if "$build/$target" "$corpus" "$seeds" "${dict[@]}" -max_total_time="$seconds" -max_len=8192 \
        -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=4096 -artifact_prefix="$findings/" -print_final_stats=1 >"$log" 2>&1; then
        echo "$target: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs, no finding"
    else
        echo "$target: FAILED, see $log and $findings/"
        tail -n 30 "$log"
        return 1
    fi
}
status=0
running=0
for target in "${targets[@]}"; do
    run_one "$target" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait -n || status=1
        running=$((running - 1))
    fi
done
while [ "$running" -gt 0 ]; do
    wait -n || status=1
    running=$((running - 1))
done
exit $status
