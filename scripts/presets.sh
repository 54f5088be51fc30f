# shellcheck shell=bash
# Sourced by setup.sh and test.sh: which presets this machine can build, and how to build one.
# Every preset builds into build/<preset>; configuring happens only when that folder has no
# build.ninja yet, building is always incremental.

velk_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The configure presets named in CMakePresets.json, hidden ones left out, in file order.
preset_names() {
  python3 - "$velk_root/CMakePresets.json" <<'EOF'
import json, sys
with open(sys.argv[1]) as presets_file:
    for preset in json.load(presets_file)["configurePresets"]:
        if not preset.get("hidden"):
            print(preset["name"])
EOF
}

# Prints what the preset's toolchain lacks, nothing when it is complete. A one-line program
# compiled the way the preset compiles is the surest test.
preset_toolchain_missing() {
  local probe_dir
  probe_dir=$(mktemp -d)
  printf 'int main() { return 0; }\n' >"$probe_dir/probe.cpp"
  printf '#include <cstddef>\n#include <cstdint>\nextern "C" int LLVMFuzzerTestOneInput(const uint8_t *, size_t) { return 0; }\n' \
    >"$probe_dir/fuzz_probe.cpp"
  command -v cmake >/dev/null || echo "cmake"
  command -v ninja >/dev/null || echo "ninja (ninja-build)"
  case "$1" in
    linux32)
      g++ -m32 "$probe_dir/probe.cpp" -o "$probe_dir/probe" 2>/dev/null || echo "32-bit g++ (g++-multilib)"
      ;;
    win32)
      i686-w64-mingw32-g++-posix -static "$probe_dir/probe.cpp" -o "$probe_dir/probe.exe" 2>/dev/null ||
        echo "i686 mingw-w64 g++ (g++-mingw-w64-i686-posix)"
      ;;
    fuzz)
      clang++ -fsanitize=fuzzer,address,undefined "$probe_dir/fuzz_probe.cpp" -o "$probe_dir/fuzz_probe" 2>/dev/null ||
        echo "clang++ with libFuzzer (clang, libclang-rt-14-dev)"
      ;;
  esac
  rm -rf "$probe_dir"
}

# Whether 32-bit x86 programs start here, and how. Some kernels are built without IA-32 support;
# there install-deps.sh registers qemu's user-mode emulator for them, which runs the linux32 tests
# but not wine (whose Windows programs must run as native i386 processes). Asked once, of a
# one-line program; without a 32-bit compiler the answer is no.
i386_programs_start() {
  if [[ -z ${velk_i386_starts:-} ]]; then
    local probe_dir
    probe_dir=$(mktemp -d)
    printf 'int main(void) { return 0; }\n' >"$probe_dir/probe.c"
    velk_i386_starts=no
    if gcc -m32 -static "$probe_dir/probe.c" -o "$probe_dir/probe" 2>/dev/null ||
      gcc -m32 "$probe_dir/probe.c" -o "$probe_dir/probe" 2>/dev/null; then
      "$probe_dir/probe" 2>/dev/null && velk_i386_starts=yes
    fi
    rm -rf "$probe_dir"
  fi
  [[ $velk_i386_starts == yes ]]
}

# Whether they start under the emulator rather than on the kernel itself.
i386_emulated() {
  [[ $(head -n 1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null) == enabled ]]
}

# Whether the kernel itself runs 32-bit x86 programs, as wine needs.
kernel_runs_i386() {
  i386_programs_start && ! i386_emulated
}

preset_buildable() {
  [[ -z $(preset_toolchain_missing "$1") ]]
}

# Configures the preset if needed, then builds it. Returns non-zero when either step fails.
build_preset() {
  local preset=$1
  local build_dir="$velk_root/build/$preset"
  if [[ ! -f $build_dir/build.ninja ]]; then
    (cd "$velk_root" && cmake --preset "$preset") || return 1
  fi
  cmake --build "$build_dir"
}

# Prints seconds elapsed since a start taken with `date +%s%N`, with one decimal.
seconds_since() {
  local now
  now=$(date +%s%N)
  awk -v elapsed="$((now - $1))" 'BEGIN { printf "%.1f", elapsed / 1e9 }'
}

# CPU seconds (user and system) spent so far by the finished children of this shell. Wall time
# on a busy machine says little; this says what a preset costs.
children_cpu_seconds() {
  local stat_fields
  read -r -a stat_fields </proc/$$/stat
  awk -v ticks="$((stat_fields[15] + stat_fields[16]))" -v per_second="$(getconf CLK_TCK)" \
    'BEGIN { printf "%.1f", ticks / per_second }'
}

banner() {
  printf '\n==== %s ====\n' "$*"
}

loud_warning() {
  printf '\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n'
  printf '!!! %s\n' "$@"
  printf '!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n\n'
}
