#!/usr/bin/env bash
# The checked pass of CI, each part in a build directory of its own:
#  - the tests of ASAN_AREAS (by default the layers below the application, whose tests also run
#    the engine's whole runs and the project's tools) built with clang, AddressSanitizer and
#    UndefinedBehaviorSanitizer (the same build holds the fuzz targets, whose coverage
#    instrumentation costs little);
#  - every fuzz target for FUZZ_SECONDS on its seed corpus;
#  - the tests that use threads built with ThreadSanitizer: the kernel's threads, locks, events
#    and the log they share, the transfers, and the buffer, socket and repair layers whole.
# Any report of any process, also of a program a test starts, fails the pass: reports are written
# to files, which are printed at the end of each part.
#
# What it leaves out, to keep CI's whole run near half an hour on two cores: the application's,
# window and whole-program tests (the toolkit's code is most of what they add, and they build
# slowest), the fault-injection runs (a few hundred whole runs; the plain suite has them) and the
# benchmarks. The checked builds build only the programs they run, optimise less and keep only
# line tables, to build faster.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
asan=${ASAN_BUILD_DIR:-$root/build-asan}
tsan=${TSAN_BUILD_DIR:-$root/build-tsan}
fuzz_seconds=${FUZZ_SECONDS:-15}
read -r -a asan_areas <<<"${ASAN_AREAS:-kernel net patch repair publish run}"
jobs=$(nproc)

configure() {
  local dir=$1 sanitizer=$2
  shift 2
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZELK_SANITIZE="$sanitizer" \
    -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only -DNDEBUG" "$@" >/dev/null
}

# Each part says how long it took, so that CI's log shows where the time goes.
started=$SECONDS
took() {
  echo "sanitize: $1 took $((SECONDS - started)) s"
  started=$SECONDS
}

# Reports go to <dir>/sanitizer-reports/report.<program>.<pid>.
reports_of() {
  local dir=$1/sanitizer-reports
  rm -rf "$dir"
  mkdir -p "$dir"
  echo "$dir"
}

check_reports() {
  local dir=$1
  if compgen -G "$dir/report.*" >/dev/null; then
    echo "sanitize: reports in $dir:"
    for report in "$dir"/report.*; do
      echo "--- $report"
      head -60 "$report"
    done
    exit 1
  fi
}

echo "sanitize: AddressSanitizer and UndefinedBehaviorSanitizer: ${asan_areas[*]}"
configure "$asan" address -DZELK_FUZZ=ON
asan_targets=(fuzz-targets)
for area in "${asan_areas[@]}"; do
  asan_targets+=("${area}_tests")
done
cmake --build "$asan" --target "${asan_targets[@]}"
took "the address-checked build"
reports=$(reports_of "$asan")
export ASAN_OPTIONS="halt_on_error=1:abort_on_error=0:detect_leaks=1:log_path=$reports/report:log_exe_name=1"
export LSAN_OPTIONS="suppressions=$root/tests/sanitizer/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/report"
labels=$(IFS='|'; echo "^(${asan_areas[*]})$")
status=0
(cd "$asan" && xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --output-on-failure -j "$jobs" -L "$labels" -E FaultInjectionRunTest) || status=$?
took "the address-checked tests"
check_reports "$reports"
((status == 0)) || exit "$status"

echo "sanitize: every fuzz target for ${fuzz_seconds}s"
# libFuzzer prints its own reports and keeps the input; the log files are not needed here.
(unset ASAN_OPTIONS UBSAN_OPTIONS; FUZZ_BUILD_DIR=$asan "$root/scripts/fuzz.sh" all "$fuzz_seconds")
took "fuzzing"

echo "sanitize: ThreadSanitizer"
configure "$tsan" thread
# The thread-checked build compiles only the test sources of what uses threads (CMakeLists.txt).
tsan_tests=(kernel_tests net_tests patch_tests repair_tests)
cmake --build "$tsan" --target "${tsan_tests[@]}"
took "the thread-checked build"
reports=$(reports_of "$tsan")
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/report"
unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
# Death tests fork a threaded process, which the thread checker does not follow; the tests of a
# mutex released by a thread that does not hold it, or once too often, make that misuse on purpose.
# The crash reports that death tests leave belong in the build directory, as in ctest's runs.
cd "$tsan"
status=0
"$tsan/kernel_tests" \
  --gtest_filter='-*DeathTest*:OSMutex.ReleaseByAThreadThatDoesNotHoldItThrows:OSMutex.IsRecursiveAndTheScopeLockReleasesOnException' ||
  status=$?
"$tsan/patch_tests" || status=$?
"$tsan/net_tests" || status=$?
"$tsan/repair_tests" || status=$?
took "the thread-checked tests"
check_reports "$reports"
((status == 0)) || exit "$status"
echo "sanitize: no report"
