#!/usr/bin/env bash
# Builds the project with sanitizers and runs the whole test suite under them.
#   tools/sanitize.sh address [build-dir]   ASan + UBSan, in build-asan by default
#   tools/sanitize.sh thread  [build-dir]   TSan, in build-tsan by default
# JOBS sets the build and test parallelism (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
kind="${1:-}"
case "$kind" in
    address) build="${2:-build-asan}" ;;
    thread) build="${2:-build-tsan}" ;;
    *) echo "usage: $0 address|thread [build-dir]" >&2; exit 2 ;;
esac
jobs="${JOBS:-$(nproc)}"
root="$(pwd)"

./tools/install-deps.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPATROL_SANITIZE="$kind" ${CMAKE_FLAGS:-} >/dev/null
start=$(date +%s)
# A target that does not build still fails the run, but every test that did build is run.
build_status=0
cmake --build "$build" -j "$jobs" -- -k 0 || build_status=$?
built=$(date +%s)

# Any report fails the test that caused it.
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1"
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$root/tools/ubsan.supp"
export TSAN_OPTIONS="halt_on_error=1:die_after_fork=0:second_deadlock_stack=1:history_size=4:suppressions=$root/tools/tsan.supp"
# Instrumented code runs slower; tests that bound their own time widen their slack by this factor.
if [ "$kind" = thread ]; then export PATROL_TEST_SLOWDOWN=5; else export PATROL_TEST_SLOWDOWN=2; fi
status=0
(cd "$build" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$jobs" ${CTEST_ARGS:-}) || status=$?
done=$(date +%s)
echo "sanitize $kind: build $((built - start)) s (exit $build_status), tests $((done - built)) s (exit $status)"
[ "$build_status" -eq 0 ] || exit "$build_status"
exit $status
