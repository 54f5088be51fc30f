#!/usr/bin/env bash
# Installs the Debian packages that every preset, test and benchmark needs, and nothing that is
# already there: a machine that has them all is left untouched and the script takes a second.
# Wine is the one optional part: without it the win32 tests are skipped (loudly) by test.sh.
set -euo pipefail

# Toolchains, test and benchmark libraries, and the peer allocators the benchmarks measure against;
# for the packages: lld and llvm (the import library for MSVC hosts and the host that tries it),
# help2man (the man pages) and lintian (the checks of the .debs).
packages=(
  cmake ninja-build g++ g++-multilib clang libclang-rt-14-dev clang-format lld llvm
  g++-mingw-w64-i686-posix help2man lintian
  googletest libbenchmark-dev libcli11-dev pkg-config
  valgrind gnuplot-nox python3 git chromium
  libjemalloc2 libmimalloc2.0 libtcmalloc-minimal4 libtbbmalloc2 lua5.4
)
# The 32-bit wine that runs the Windows DLL and its test programs.
wine_packages=(wine wine32:i386)

export DEBIAN_FRONTEND=noninteractive

say() { printf 'install-deps: %s\n' "$*"; }
warn() {
  printf '\n' >&2
  printf '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n' >&2
  printf '!!! install-deps: %s\n' "$@" >&2
  printf '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\n' >&2
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

missing_from() {
  local package
  for package in "$@"; do
    installed "$package" || printf '%s\n' "$package"
  done
}

if ! command -v dpkg-query >/dev/null || ! command -v apt-get >/dev/null; then
  warn "this is not a Debian-style system; install the equivalents of: ${packages[*]} ${wine_packages[*]}"
  exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null; then
    as_root=(sudo -E)
  fi
fi

need_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1

mapfile -t missing < <(missing_from "${packages[@]}")
mapfile -t missing_wine < <(missing_from "${wine_packages[@]}")

# A kernel built without IA-32 support starts no 32-bit program. There qemu's user-mode emulator,
# registered with the kernel's binfmt_misc for i386 executables, runs them instead: the linux32
# tests run, more slowly. Wine does not run under it; test.sh tells the two apart
# (scripts/presets.sh).
i386_runs() {
  local probe_dir status=1
  probe_dir=$(mktemp -d)
  printf 'int main(void) { return 0; }\n' >"$probe_dir/probe.c"
  if gcc -m32 -static "$probe_dir/probe.c" -o "$probe_dir/probe" 2>/dev/null; then
    "$probe_dir/probe" 2>/dev/null && status=0
  fi
  rm -rf "$probe_dir"
  return $status
}
enable_i386_emulation() {
  i386_runs && return 0
  installed qemu-user-static || "${as_root[@]}" apt-get install -y --no-install-recommends qemu-user-static ||
    return 1
  local binfmt=/proc/sys/fs/binfmt_misc
  [[ -e $binfmt/register ]] || "${as_root[@]}" mount -t binfmt_misc binfmt_misc "$binfmt" || return 1
  if [[ ! -e $binfmt/qemu-i386 ]]; then
    # ELF, 32-bit, little-endian, an executable or shared object, for the 386; F: the emulator is
    # opened now, so that it serves programs in any mount namespace.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
      "${as_root[@]}" tee "$binfmt/register" >/dev/null || return 1
  fi
  i386_runs
}

finish() {
  if ! enable_i386_emulation; then
    warn "this kernel runs no 32-bit program and qemu could not be set up to: the linux32 tests will be SKIPPED"
  fi
  say "done"
}

if [[ ${#missing[@]} -eq 0 && ${#missing_wine[@]} -eq 0 && $need_i386 -eq 0 ]]; then
  say "all packages present"
  finish
  exit 0
fi

if [[ $(id -u) -ne 0 && ${#as_root[@]} -eq 0 ]]; then
  warn "not root and no sudo: cannot install ${missing[*]} ${missing_wine[*]}"
  exit 1
fi

# apt-get update fails now and then while the mirror syncs; that clears within a minute or two.
update_package_lists() {
  local attempt output
  for attempt in 1 2 3 4 5 6; do
    if output=$("${as_root[@]}" apt-get update 2>&1); then
      return 0
    fi
    printf '%s\n' "$output" | tail -n 5 >&2
    say "apt-get update failed (attempt $attempt), retrying in 20 s"
    sleep 20
  done
  return 1
}

if [[ $need_i386 -eq 1 ]]; then
  say "adding the i386 architecture for wine32"
  "${as_root[@]}" dpkg --add-architecture i386
fi

say "missing: ${missing[*]} ${missing_wine[*]}"
update_package_lists || warn "apt-get update kept failing; trying to install from the lists at hand"

if [[ ${#missing[@]} -gt 0 ]]; then
  "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi

if [[ ${#missing_wine[@]} -gt 0 ]]; then
  # wine32:i386 pulls i386 libraries that must match the amd64 ones exactly; an older amd64 base
  # shows up as "broken packages", which an upgrade clears.
  if ! "${as_root[@]}" apt-get install -y --no-install-recommends "${wine_packages[@]}"; then
    say "wine did not install; upgrading the base system and retrying"
    "${as_root[@]}" apt-get -y upgrade || true
    "${as_root[@]}" apt-get install -y --no-install-recommends "${wine_packages[@]}" ||
      warn "wine could not be installed: the win32 tests will be SKIPPED"
  fi
fi

mapfile -t still_missing < <(missing_from "${packages[@]}")
if [[ ${#still_missing[@]} -gt 0 ]]; then
  warn "still missing after install: ${still_missing[*]}"
  exit 1
fi
finish
