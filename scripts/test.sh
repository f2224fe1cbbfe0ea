#!/usr/bin/env bash
# Builds and runs every test suite: the Linux library (plain, with
# AddressSanitizer+UndefinedBehaviorSanitizer, with ThreadSanitizer) and the
# Windows DLL under Wine. Installs what is missing (Debian packages) first.
#
#   scripts/test.sh            everything
#   scripts/test.sh linux      the Linux builds only
#   scripts/test.sh windows    the Windows build only
set -euo pipefail
cd "$(dirname "$0")/.."

what="${1:-all}"
jobs="${JOBS:-2}"
passed=0
failed=0
failures=()

# Adds the counts of a ctest log (its closing line) to the totals; RC is
# the exit status of what wrote it, LABEL names it in the failures.
count_log() {
  local log="$1" rc="$2" label="$3"
  local line nfail ntotal
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1 || true)
  if [ -z "$line" ]; then
    failures+=("$label: ctest did not finish (exit $rc)")
    failed=$((failed + 1))
    return
  fi
  nfail=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  ntotal=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + ntotal - nfail))
  failed=$((failed + nfail))
  [ "$nfail" -eq 0 ] && [ "$rc" -eq 0 ] || failures+=("$label: $nfail of $ntotal failed (exit $rc)")
}

# Runs ctest in a build directory and adds its counts to the totals.
run_ctest() {
  local dir="$1"; shift
  local rc=0
  (cd "$dir" && ctest --output-on-failure -j"$jobs" "$@") 2>&1 | tee "$dir/ctest.log" || rc=$?
  count_log "$dir/ctest.log" "$rc" "$dir"
}

build_linux() {
  local dir="$1"; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
}

if [ "$what" = all ] || [ "$what" = linux ]; then
  scripts/deps.sh linux
  build_linux build
  run_ctest build

  build_linux build-asan -DZELMXCC_SANITIZE=address
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    run_ctest build-asan

  build_linux build-tsan -DZELMXCC_SANITIZE=thread
  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_ctest build-tsan
fi

if [ "$what" = all ] || [ "$what" = windows ]; then
  rc=0
  scripts/test-windows.sh 2>&1 | tee build-win.log || rc=$?
  count_log build-win.log "$rc" windows
fi

for f in "${failures[@]+"${failures[@]}"}"; do echo "FAILED: $f"; done
echo "${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ] && [ ${#failures[@]} -eq 0 ]
