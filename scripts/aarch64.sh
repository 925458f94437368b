#!/usr/bin/env bash
# aarch64 Linux on this x86-64 machine: cross-compiled with Debian's
# g++-aarch64-linux-gnu, run under qemu-user.
#
#   bash scripts/aarch64.sh core
#       builds the core GoogleTests and runs them under qemu, then the SHA-256
#       ones again with the portable engine forced (_TESSARIN_SHA256_PORTABLE)
#   bash scripts/aarch64.sh pytest WHEEL [PYTEST_ARGS...]
#       installs WHEEL (the aarch64 release wheel) and runs the whole pytest
#       suite against it on bookworm's arm64 CPython 3.11, then the
#       fingerprint vectors again with the portable engine forced
#
# scripts/wheel.sh sources this file for the cross build of the wheel
# (aarch64_setup, then aarch64_wheel_options).
#
# Kept in the user cache (scripts/cache.sh), made on first use and keyed by
# what goes in (suite, package names, requirements and the code below that
# makes them; a point release of a suite does not make them again):
#   aarch64-sysroot  bookworm's arm64 CPython 3.11 with the libraries it
#                    loads, its headers and libpython, libstdc++ and
#                    GoogleTest; fetched through a private apt state (its own
#                    APT_CONFIG, lists and empty dpkg status: the system's
#                    apt and dpkg are untouched) and unpacked with dpkg -x
#   qemu-user        trixie's static qemu-aarch64 (10.0): bookworm's 7.2
#                    aborts in fork() of a threaded process and shows the
#                    host's /proc/cpuinfo
#   aarch64-wheels   the test requirements as aarch64 wheels, installed into
#                    a folder that the emulated interpreter imports from
# The emulated processor is qemu's "max", which has the SHA-2 instructions.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
source "$ROOT/scripts/cache.sh"

# The makers of cache entries see exported variables only.
export AARCH64_SUITE=bookworm
export AARCH64_PYTHON=3.11
# With their dependencies: what the interpreter, the module and the test
# programs load.
export AARCH64_RUNTIME="python3.11 libpython3.11 libstdc++6"
# Without: only their headers and libraries are wanted, not the compilers
# their dependencies would bring.
export AARCH64_DEVEL="libpython3.11-dev libgtest-dev"
export QEMU_SUITE=trixie
# pip's platforms for aarch64 wheels: every manylinux tag up to the
# sysroot's glibc 2.36 (pip takes each one literally).
export AARCH64_GLIBC_MINOR=36
export ROOT VPY
AARCH64_WORK="$ROOT/build/aarch64"

# Prints the Debian archive that the system's apt uses.
debian_mirror() {
  env -u APT_CONFIG apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' | sort -u | head -n 1
}

# private_apt DIR SUITE ARCH: an apt state of its own in DIR for SUITE's
# main component on ARCH (APT_CONFIG=DIR/apt.conf), with its package lists
# fetched.
private_apt() {
  local dir="$1" suite="$2" arch="$3" mirror
  mirror="$(debian_mirror)"
  if [ -z "$mirror" ]; then
    echo "no Debian archive in the system's apt sources" >&2
    return 1
  fi
  mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/etc/apt.conf.d" "$dir/etc/preferences.d" \
    "$dir/etc/sources.list.d"
  : >"$dir/status"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" >"$dir/etc/sources.list"
  # The machine's clock may be past a Release file's Valid-Until.
  cat >"$dir/apt.conf" <<EOF
Dir::State "$dir";
Dir::State::Lists "$dir/lists";
Dir::State::status "$dir/status";
Dir::Cache "$dir";
Dir::Cache::archives "$dir/archives";
Dir::Etc "$dir/etc";
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
APT::Sandbox::User "root";
Acquire::Languages "none";
Acquire::Check-Valid-Until "false";
EOF
  APT_CONFIG="$dir/apt.conf" apt-get update -qq
}

make_sysroot() {  # the cache entry's directory
  local entry="$1" deb
  export APT_CONFIG="$entry/apt/apt.conf"
  private_apt "$entry/apt" "$AARCH64_SUITE" arm64
  # shellcheck disable=SC2086 # word lists
  apt-get install -qq --download-only --no-install-recommends -y $AARCH64_RUNTIME >/dev/null
  # shellcheck disable=SC2086
  (cd "$entry/apt/archives" && apt-get download -qq $AARCH64_DEVEL)
  for deb in "$entry"/apt/archives/*.deb; do
    dpkg -x "$deb" "$entry/root"
  done
  # Debian's pyconfig.h picks the architecture's own one by the compiler's
  # macros from a folder the cross compiler does not search: use it directly.
  cp "$entry/root/usr/include/aarch64-linux-gnu/python$AARCH64_PYTHON/pyconfig.h" \
    "$entry/root/usr/include/python$AARCH64_PYTHON/pyconfig.h"
  rm -rf "$entry/apt"
  # CMake finds GoogleTest and the Python headers in the sysroot, and
  # everything else (the C and C++ libraries) with the cross compiler. The
  # entry is renamed once made: paths are relative to the file.
  cat >"$entry/toolchain.cmake" <<'EOF'
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH "${CMAKE_CURRENT_LIST_DIR}/root")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
EOF
}

make_qemu() {  # the cache entry's directory
  local entry="$1"
  export APT_CONFIG="$entry/apt/apt.conf"
  private_apt "$entry/apt" "$QEMU_SUITE" "$(dpkg --print-architecture)"
  (cd "$entry/apt/archives" && apt-get download -qq qemu-user)
  dpkg -x "$entry"/apt/archives/qemu-user_*.deb "$entry/unpacked"
  mv "$entry/unpacked/usr/bin/qemu-aarch64" "$entry/qemu-aarch64"
  rm -rf "$entry/apt" "$entry/unpacked"
  "$entry/qemu-aarch64" --version | head -n 1
}

# pip install options for aarch64 wheels on the sysroot's interpreter.
aarch64_pip_target() {
  local minor
  echo --python-version "$AARCH64_PYTHON" --implementation cp --only-binary=:all: --platform manylinux2014_aarch64
  for minor in $(seq 17 "$AARCH64_GLIBC_MINOR"); do
    echo --platform "manylinux_2_${minor}_aarch64"
  done
}

make_wheels() {  # the cache entry's directory
  local entry="$1"
  # shellcheck disable=SC2046 # options without spaces
  "$VPY" -m pip install --quiet --disable-pip-version-check --target "$entry/site" $(aarch64_pip_target) \
    -r "$ROOT/requirements-test.txt"
}

# Sets SYSROOT (the arm64 tree) and TOOLCHAIN (CMake's toolchain file),
# making what is missing.
aarch64_setup() {
  apt_install g++-aarch64-linux-gnu
  local entry
  entry="$(cache_entry aarch64-sysroot \
    "$(cache_key "$AARCH64_SUITE" "$AARCH64_RUNTIME" "$AARCH64_DEVEL" "$(declare -f private_apt make_sysroot)")" \
    make_sysroot)"
  SYSROOT="$entry/root"
  TOOLCHAIN="$entry/toolchain.cmake"
}

# The pip options of the cross build, on top of _PYTHON_HOST_PLATFORM (which
# gives the wheel its platform tag): the toolchain file and the sysroot's
# Python headers (the limited API's are the same in 3.11 as in 3.10).
aarch64_wheel_options() {
  echo "-C cmake.define.CMAKE_TOOLCHAIN_FILE=$TOOLCHAIN" \
    "-C cmake.define.Python_INCLUDE_DIR=$SYSROOT/usr/include/python$AARCH64_PYTHON"
}

# Sets QEMU and writes build/aarch64/python, the emulated interpreter as a
# program of this machine. qemu's -0 makes the script's own path the
# interpreter's argv[0], so sys.executable names it and the tests' child
# interpreters run under qemu too (this machine has no binfmt_misc).
aarch64_emulator() {
  QEMU="$(cache_entry qemu-user "$(cache_key "$QEMU_SUITE" "$(declare -f private_apt make_qemu)")" make_qemu)/qemu-aarch64"
  mkdir -p "$AARCH64_WORK"
  cat >"$AARCH64_WORK/python" <<EOF
#!/bin/sh
exec "$QEMU" -cpu max -L "$SYSROOT" -0 "\$0" "$SYSROOT/usr/bin/python$AARCH64_PYTHON" "\$@"
EOF
  chmod +x "$AARCH64_WORK/python"
}

# The embedding test builds a C program with $CC and runs it. This compiler
# builds it for aarch64 against the sysroot (the interpreter reports its
# library and include folders as seen under qemu, so those are looked up in
# the sysroot) and leaves at the output path a launcher that runs it under
# qemu.
write_cross_cc() {
  cat >"$AARCH64_WORK/cc" <<EOF
#!/usr/bin/env bash
set -euo pipefail
sysroot="$SYSROOT"
args=()
out=""
while [ \$# -gt 0 ]; do
  case "\$1" in
    -o) out="\$2"; args+=(-o "\$2.aarch64"); shift ;;
    -I/* | -L/*) if [ -d "\$sysroot\${1:2}" ]; then args+=("\${1:0:2}\$sysroot\${1:2}"); else args+=("\$1"); fi ;;
    *) args+=("\$1") ;;
  esac
  shift
done
aarch64-linux-gnu-gcc "\${args[@]}" \\
  -Wl,-rpath-link,"\$sysroot/lib/aarch64-linux-gnu:\$sysroot/usr/lib/aarch64-linux-gnu"
if [ -n "\$out" ]; then
  printf '#!/bin/sh\nexec "%s" -cpu max -L "%s" "%s" "\$@"\n' "$QEMU" "\$sysroot" "\$out.aarch64" >"\$out"
  chmod +x "\$out"
fi
EOF
  chmod +x "$AARCH64_WORK/cc"
}

run_core() {
  aarch64_setup
  aarch64_emulator
  local build="$AARCH64_WORK/core-tests"
  "$ROOT/.venv/bin/cmake" -S "$ROOT" -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$ROOT/.venv/bin/ninja" \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" "-DCMAKE_CROSSCOMPILING_EMULATOR=$QEMU;-cpu;max;-L;$SYSROOT" \
    -DTESSARIN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  "$ROOT/.venv/bin/cmake" --build "$build"
  "$ROOT/.venv/bin/ctest" --test-dir "$build" --output-on-failure -j2 --no-tests=error
  echo "== aarch64: the SHA-256 tests with the portable engine forced =="
  _TESSARIN_SHA256_PORTABLE=1 "$ROOT/.venv/bin/ctest" --test-dir "$build" --output-on-failure -j2 \
    --no-tests=error -R 'Sha256'
}

# Tests that cannot work under qemu-user, with the reason.
DESELECTED=(
  "tests/test_params.py::test_failed_allocation_aborts_with_its_size"
  "qemu-user ignores RLIMIT_AS (it would limit the emulator's own memory), so the allocation never fails"
)

run_pytest() {
  local wheel="$1"
  shift
  [ -f "$wheel" ] || { echo "no wheel at $wheel" >&2; return 1; }
  aarch64_setup
  aarch64_emulator
  write_cross_cc
  local deps site="$AARCH64_WORK/site" python="$AARCH64_WORK/python"
  deps="$(cache_entry aarch64-wheels \
    "$(cache_key "$AARCH64_GLIBC_MINOR" "$AARCH64_PYTHON" "$ROOT/requirements-test.txt" \
      "$(declare -f aarch64_pip_target make_wheels)")" \
    make_wheels)/site"
  # pip checks that the wheel's tags install on this interpreter and glibc.
  rm -rf "$site"
  # shellcheck disable=SC2046
  "$VPY" -m pip install --quiet --disable-pip-version-check --no-deps --target "$site" $(aarch64_pip_target) \
    "$wheel"
  local deselect=() i
  for ((i = 0; i < ${#DESELECTED[@]}; i += 2)); do
    echo "deselected under qemu: ${DESELECTED[i]}: ${DESELECTED[i + 1]}"
    deselect+=(--deselect "${DESELECTED[i]}")
  done
  export PYTHONPATH="$site:$deps"
  export CC="$AARCH64_WORK/cc"
  # Emulated, everything takes many times longer: the tests' time limits
  # stretch (tests/support.py), and Hypothesis stops timing input generation.
  export TESSARIN_TEST_TIME_SCALE=4 HYPOTHESIS_PROFILE=emulated
  cd "$ROOT/tests"
  "$python" -c 'import platform, tessarin; print("CPython", platform.python_version(), platform.machine(), "under qemu:", tessarin.__file__)'
  "$python" -m pytest -q -rs -p no:cacheprovider --durations=10 "${deselect[@]}" "$@"
  echo "== aarch64: the fingerprint vectors with the portable engine forced =="
  _TESSARIN_SHA256_PORTABLE=1 "$python" -m pytest -q -p no:cacheprovider test_fingerprints.py
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case "${1:-}" in
    core) run_core ;;
    pytest)
      shift
      [ $# -ge 1 ] || { echo "usage: $0 pytest WHEEL [PYTEST_ARGS...]" >&2; exit 2; }
      run_pytest "$@"
      ;;
    *)
      echo "usage: $0 core | pytest WHEEL [PYTEST_ARGS...]" >&2
      exit 2
      ;;
  esac
fi
