#!/usr/bin/env bash
# Installs what is missing, builds every preset this machine can build, then runs the demo host
# against the freshly built Linux library.
set -uo pipefail
# shellcheck source=scripts/presets.sh
source "$(dirname "${BASH_SOURCE[0]}")/presets.sh"
cd "$velk_root" || exit 1

# The main job: the demo host loads the allocator library and drives it.
main_program=build/linux64/tools/velk-host/velk-host
main_arguments=(build/linux64/library/libvelkallocator.so)

"$velk_root/scripts/install-deps.sh" || loud_warning "install-deps.sh failed; building what can be built"

failed_presets=()
for preset in $(preset_names); do
  missing=$(preset_toolchain_missing "$preset")
  if [[ -n $missing ]]; then
    loud_warning "preset $preset SKIPPED: this machine lacks ${missing//$'\n'/, }"
    continue
  fi
  banner "build $preset"
  started=$(date +%s%N)
  if build_preset "$preset"; then
    echo "$preset built in $(seconds_since "$started") s"
  else
    failed_presets+=("$preset")
    loud_warning "preset $preset FAILED to build"
  fi
done

setup_status=0
if [[ ${#failed_presets[@]} -gt 0 ]]; then
  loud_warning "presets that failed to build: ${failed_presets[*]}"
  setup_status=1
fi

if [[ ! -x $main_program ]]; then
  echo "note: $main_program is not built yet; nothing to run"
  exit "$setup_status"
fi
banner "run $main_program ${main_arguments[*]}"
"$main_program" "${main_arguments[@]}" || setup_status=1
exit "$setup_status"
