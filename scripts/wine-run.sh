#!/usr/bin/env bash
# Runs a Windows program under wine with a private prefix inside the build tree, no Mono or
# Gecko prompts and no wine chatter. Used as the cross-compiling emulator of the win32 preset.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${VELK_WINEPREFIX:-$here/build/win32/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win32
mkdir -p "$(dirname "$WINEPREFIX")"
exec wine "$@"
