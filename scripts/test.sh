#!/usr/bin/env bash
# Builds what is missing and runs the CTest suite of every test preset. A preset that fails to
# build counts as one failed test and the run goes on to the next preset. The last line is the
# sum over all presets: "N passed, N failed"; the exit status is non-zero when anything failed.
#
#   scripts/test.sh                 every test preset
#   scripts/test.sh asan win32      just those
set -uo pipefail
# shellcheck source=scripts/presets.sh
source "$(dirname "${BASH_SOURCE[0]}")/presets.sh"
cd "$velk_root" || exit 1

# linux32 before linux64, whose package test then checks the 32-bit velk-replay the package carries.
test_presets=(linux32 linux64 win32 asan tsan fuzz)
[[ $# -gt 0 ]] && test_presets=("$@")

# Two cores: two tests at a time. Wine shares one wineserver per prefix, and the win32 tests run
# two at a time through it without trouble once the prefix exists (see warm_wine_prefix): seven
# win32 tests took 34 s one at a time and 16 to 20 s two at a time.
ctest_parallel=2
# A guard against a hung test eating the CI budget; tests that need longer set TIMEOUT themselves.
ctest_default_timeout=300

total_passed=0
total_failed=0
total_skipped=0
summary_lines=()

"$velk_root/scripts/install-deps.sh" || loud_warning "install-deps.sh failed; testing what can be built"

wine_prefix="$velk_root/build/win32/wineprefix"

# The first wine start in a new prefix creates it, which takes ten seconds or more; done inside a
# test it would eat that test's timeout, and two tests starting together would race to create it.
warm_wine_prefix() {
  local started
  started=$(date +%s%N)
  VELK_WINEPREFIX="$wine_prefix" "$velk_root/scripts/wine-run.sh" wineboot --init >/dev/null 2>&1 || return 1
  echo "wine prefix ready in $(seconds_since "$started") s"
}

# Wine leaves its server and services running for a while; stop them so nothing outlives the run.
stop_wine() {
  WINEPREFIX="$wine_prefix" wineserver -k >/dev/null 2>&1 || true
}

# Reads a ctest log and prints "passed failed skipped".
count_ctest_results() {
  local log=$1 total failed skipped
  total=$(sed -n 's/.* tests\{0,1\} failed out of \([0-9][0-9]*\).*/\1/p' "$log" | tail -n 1)
  failed=$(sed -n 's/.*, \([0-9][0-9]*\) tests\{0,1\} failed out of .*/\1/p' "$log" | tail -n 1)
  skipped=$(grep -c ' (Skipped)$\| (Disabled)$' "$log")
  total=${total:-0}
  failed=${failed:-0}
  echo "$((total - failed - skipped)) $failed $skipped"
}

record() {
  local preset=$1 passed=$2 failed=$3 skipped=$4 seconds=$5 note=${6:-} cpu_seconds
  cpu_seconds=$(awk -v now="$(children_cpu_seconds)" -v then="$cpu_started" 'BEGIN { printf "%.1f", now - then }')
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  total_skipped=$((total_skipped + skipped))
  summary_lines+=("$(printf '%-8s %4d passed %4d failed %4d skipped %7s s (cpu %6s s)  %s' \
    "$preset" "$passed" "$failed" "$skipped" "$seconds" "$cpu_seconds" "$note")")
}

run_started=$(date +%s%N)
for preset in "${test_presets[@]}"; do
  started=$(date +%s%N)
  cpu_started=$(children_cpu_seconds)
  banner "$preset"

  missing=$(preset_toolchain_missing "$preset")
  if [[ -n $missing ]]; then
    loud_warning "preset $preset cannot be built here: this machine lacks ${missing//$'\n'/, }" \
      "counted as one failure"
    record "$preset" 0 1 0 "$(seconds_since "$started")" "toolchain missing"
    continue
  fi
  if [[ $preset == win32 ]] && ! command -v wine >/dev/null; then
    loud_warning "wine is not installed: the win32 tests are SKIPPED" \
      "(scripts/install-deps.sh could not install it)"
    record "$preset" 0 0 0 "$(seconds_since "$started")" "SKIPPED: no wine"
    continue
  fi

  if ! build_preset "$preset"; then
    loud_warning "preset $preset FAILED to build; counted as one failure"
    record "$preset" 0 1 0 "$(seconds_since "$started")" "build failed"
    continue
  fi
  # The linux32 packages carry the man pages linux64's programs write (help2man runs a program),
  # so linux64 is built before linux32's package test looks for them.
  if [[ $preset == linux32 ]] && ! build_preset linux64 >/dev/null; then
    loud_warning "linux64 FAILED to build: linux32's packages will lack their man pages"
  fi
  built_seconds=$(seconds_since "$started")
  # Built, so that it still compiles and links; its programs cannot start on this kernel.
  if { [[ $preset == linux32 ]] && ! i386_programs_start; } ||
    { [[ $preset == win32 ]] && ! kernel_runs_i386; }; then
    loud_warning "this kernel cannot run 32-bit x86 programs: the $preset tests are SKIPPED" \
      "(the preset was built; run them on a machine whose kernel has IA-32 support)"
    record "$preset" 0 0 0 "$(seconds_since "$started")" "SKIPPED: kernel runs no i386 programs"
    continue
  fi
  if [[ $preset == linux32 ]] && i386_emulated; then
    echo "(linux32 runs under qemu's user-mode emulator: this kernel has no IA-32 support)"
  fi

  if [[ $preset == win32 ]] && ! warm_wine_prefix; then
    loud_warning "wineboot failed; the win32 tests will likely fail too"
  fi

  log=$(mktemp)
  ctest --test-dir "build/$preset" --output-on-failure -j "$ctest_parallel" \
    --timeout "$ctest_default_timeout" 2>&1 | tee "$log"
  ctest_status=${PIPESTATUS[0]}
  [[ $preset == win32 ]] && stop_wine

  read -r passed failed skipped < <(count_ctest_results "$log")
  rm -f "$log"
  # ctest can fail without a count (a crash of ctest itself, a broken test file): one failure.
  if [[ $ctest_status -ne 0 && $failed -eq 0 ]]; then
    failed=1
  fi
  record "$preset" "$passed" "$failed" "$skipped" "$(seconds_since "$started")" \
    "(build $built_seconds s)"
done

banner "summary"
printf '%s\n' "${summary_lines[@]}"
echo "total $(seconds_since "$run_started") s (cpu $(children_cpu_seconds) s), $total_skipped skipped"
echo "$total_passed passed, $total_failed failed"
[[ $total_failed -eq 0 ]]
