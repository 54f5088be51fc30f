#!/usr/bin/env bash
# Builds the release archives into dist/: for each shipping build, its archive
# (VelkAllocator-<version>-linux64.tar.gz, -linux32.tar.gz, -win32.zip), for Linux also a .deb
# (velkallocator_<version>_amd64.deb, _i386.deb), each with a .sha256 beside it
# (`sha256sum -c FILE.sha256`). Builds what is missing first.
#
#   scripts/package.sh                 linux64, linux32 and win32
#   scripts/package.sh win32           just those
set -uo pipefail
# shellcheck source=scripts/presets.sh
source "$(dirname "${BASH_SOURCE[0]}")/presets.sh"
cd "$velk_root" || exit 1

presets=(linux64 linux32 win32)
[[ $# -gt 0 ]] && presets=("$@")

rm -rf dist
mkdir -p dist
failed_presets=()
for preset in "${presets[@]}"; do
  banner "package $preset"
  missing=$(preset_toolchain_missing "$preset")
  if [[ -n $missing ]]; then
    loud_warning "preset $preset SKIPPED: this machine lacks ${missing//$'\n'/, }"
    failed_presets+=("$preset")
    continue
  fi
  packages="build/$preset/packages"
  rm -rf "$packages"
  if build_preset "$preset" && cpack --config "build/$preset/CPackConfig.cmake" -B "$packages"; then
    find "$packages" -maxdepth 1 -type f -exec cp {} dist/ \;
  else
    failed_presets+=("$preset")
    loud_warning "preset $preset FAILED to build or package"
  fi
done

banner "dist"
ls -l dist
if [[ ${#failed_presets[@]} -gt 0 ]]; then
  loud_warning "no packages for: ${failed_presets[*]}"
  exit 1
fi
