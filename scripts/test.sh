#!/usr/bin/env bash
# Builds everything and runs every test. Installs what it needs when missing.
#
#   wheel    the cp310-abi3 wheel, built once by scripts/wheel.sh, tagged
#            manylinux by auditwheel and checked: the wheel every step below
#            tests (with the wheel check, the release wheel in dist/)
#   core     GoogleTest suite of the C++ core, through ctest
#   stubs    mypy's stubtest against the built module, mypy --strict examples/
#   pytest   that wheel on every CPython 3.10, 3.11, 3.12 and 3.13 found
#            (pyenv's versions, or python3.1x on PATH), each in a virtual
#            environment of its own under build/, then on CPython 3.14 and
#            3.15 in a Debian sid chroot (scripts/sid-chroot.sh; needs root,
#            kept in the user's cache)
#   asan     ASan + UBSan build of the module, the whole suite on one interpreter
#   tsan     the core GoogleTests under ThreadSanitizer
#   clang    the core and the wheel built with clang 19 and libc++, the
#            GoogleTests and the whole suite on one interpreter
#            (scripts/clang-libcxx.sh)
#   fuzz     libFuzzer on the canonical JSON readers, the pickle payload
#            reader and the scanner, FUZZ_SECONDS (60) long
#   lint     ruff and clang-format (scripts/lint.sh)
#   wheel    the release build of both wheels (scripts/wheel.sh):
#            reproducibility, fresh installs; otherwise the wheels are built
#            incrementally under build/
#   aarch64  the aarch64 wheel, cross-compiled, and the core GoogleTests and
#            the whole pytest suite against it under qemu (scripts/aarch64.sh)
#
# Arguments go to every pytest run (e.g. -x, -k name), which lists its skips (-rs).
# The last seven checks run when CI=true, or when named in TESSARIN_CHECKS
# (TESSARIN_CHECKS="asan fuzz" bash scripts/test.sh). A missing interpreter
# is skipped with a note, except under CI=true, where it fails the run.
# PYTHON=/path/to/python3 picks the interpreter of .venv (see env.sh).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

CI="${CI:-false}"
if [ "$CI" = true ]; then
  CHECKS="${TESSARIN_CHECKS:-lint asan tsan clang fuzz wheel aarch64}"
else
  CHECKS="${TESSARIN_CHECKS:-}"
fi
VERSIONS=(3.10 3.11 3.12 3.13)
FUZZ_SECONDS="${FUZZ_SECONDS:-60}"
CMAKE="$ROOT/.venv/bin/cmake"
NINJA="$ROOT/.venv/bin/ninja"

wants() { [[ " $CHECKS " == *" $1 "* ]]; }

# ---------------------------------------------------------------- timing
STEP_NAMES=()
STEP_SECONDS=()
STEP_NAME=""
STEP_START=0
step() {
  end_step
  STEP_NAME="$1"
  STEP_START=$(date +%s%N)
  echo "== $1 =="
}
end_step() {
  if [ -n "$STEP_NAME" ]; then
    STEP_NAMES+=("$STEP_NAME")
    STEP_SECONDS+=("$(( ($(date +%s%N) - STEP_START) / 1000000 ))")
    STEP_NAME=""
  fi
}
summary() {
  end_step
  echo "== time per step (s) =="
  local i ms
  for i in "${!STEP_NAMES[@]}"; do
    ms="${STEP_SECONDS[$i]}"
    printf '%6d.%d  %s\n' $((ms / 1000)) $((ms % 1000 / 100)) "${STEP_NAMES[$i]}"
  done
}
RUN_START=$(date +%s)

# ---------------------------------------------------------------- system packages
step "setup: packages and .venv"
# clang and its runtime (libFuzzer, sanitizers) for the fuzz target; the
# German locale's sources, which a number reader test compiles.
packages=(libgtest-dev locales)
wants fuzz && packages+=(clang-14 libclang-rt-14-dev)
apt_install "${packages[@]}"
install_requirements -r requirements-dev.txt

# ---------------------------------------------------------------- the wheels
# Built once each and tested as they are released: the release build
# (reproducible, from clean trees) with the wheel check, else incrementally.
if wants wheel; then
  wheel_mode=()
  WHEELHOUSE="$ROOT/dist"
else
  wheel_mode=(--incremental)
  WHEELHOUSE="$ROOT/build/wheelhouse"
fi
step "wheel: x86-64$(wants wheel && echo ", release build and checks")"
bash "$ROOT/scripts/wheel.sh" "${wheel_mode[@]}" x86_64
WHEEL="$(ls "$WHEELHOUSE"/tessarin-*-cp310-abi3-*_x86_64.whl)"
"$VPY" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "$WHEEL"
if wants aarch64 || wants wheel; then
  step "wheel: aarch64, cross-compiled$(wants wheel && echo ", release build and checks")"
  bash "$ROOT/scripts/wheel.sh" "${wheel_mode[@]}" aarch64
  WHEEL_AARCH64="$(ls "$WHEELHOUSE"/tessarin-*-cp310-abi3-*_aarch64.whl)"
fi

# ---------------------------------------------------------------- core
step "core: GoogleTest"
"$CMAKE" -S . -B build/core-tests -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
  -DTESSARIN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"$CMAKE" --build build/core-tests
"$ROOT/.venv/bin/ctest" --test-dir build/core-tests --output-on-failure -j2 --no-tests=error

step "type stubs"
"$VPY" -m mypy.stubtest tessarin --allowlist tests/stubtest-allowlist.txt
"$VPY" -m mypy --strict examples

# ---------------------------------------------------------------- lint
# ruff (lint and format) and clang-format, pinned versions from PyPI under
# build/lint-tools; scripts/format.sh applies the layout it checks.
if wants lint; then
  step "lint: ruff and clang-format"
  bash "$ROOT/scripts/lint.sh"
fi

# ---------------------------------------------------------------- pytest per interpreter
# Prints the path of a CPython of the given minor version with the regular
# (GIL) build, or nothing.
find_interpreter() {
  local version="$1" candidate
  for candidate in $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python3 2>/dev/null | sort -V -r) \
                   "$(command -v "python$version" || true)"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] || continue
    if "$candidate" -c "import sys, sysconfig; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))) or bool(sysconfig.get_config_var('Py_GIL_DISABLED')))" 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
}

# The environment for one interpreter: .venv itself when it is that version,
# otherwise build/venvs/<version>, made on first use. Prints its python.
environment_for() {
  local version="$1" python="$2" dir="$ROOT/build/venvs/$1"
  if [ "$("$VPY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$version" ]; then
    echo "$VPY"
    return
  fi
  if [ "$(interpreter_identity "$dir/bin/python")" != "$(interpreter_identity "$python")" ]; then
    rm -rf "$dir"
    "$python" -m venv "$dir" >&2
  fi
  "$dir/bin/python" -m pip install --quiet --disable-pip-version-check -r requirements-test.txt >&2
  "$dir/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "$WHEEL" >&2
  echo "$dir/bin/python"
}

run_pytest() {
  # From tests/ so that the installed module, not the source tree, is imported.
  (cd "$ROOT/tests" && "$@")
}

failed=()
skipped=()
NOT_TESTED=""
for version in "${VERSIONS[@]}"; do
  python="$(find_interpreter "$version")"
  if [ -z "$python" ]; then
    skipped+=("$version")
    continue
  fi
  step "pytest: CPython $version"
  env_python="$(environment_for "$version" "$python")"
  echo "$("$env_python" -c 'import sys; print(sys.version.split()[0], "from", sys.base_prefix)') in ${env_python%/bin/python}"
  run_pytest "$env_python" -m pytest -q -p no:cacheprovider -rs "$@" || failed+=("$version")
done
step "pytest: CPython 3.14 and 3.15 in a Debian sid chroot"
sid_status=0
bash "$ROOT/scripts/sid-chroot.sh" "$WHEEL" "$@" || sid_status=$?
case "$sid_status" in
  0) ;;
  2) skipped+=("3.14/3.15 (sid chroot, see above)") ;;
  *) failed+=("3.14/3.15 (sid chroot)") ;;
esac
end_step
if [ ${#skipped[@]} -gt 0 ]; then
  NOT_TESTED="not found, so not tested: CPython ${skipped[*]}"
  echo "== $NOT_TESTED =="
  [ "$CI" = true ] && failed+=("${skipped[@]/%/ (missing)}")
fi
if [ ${#failed[@]} -gt 0 ]; then
  echo "== pytest failed on: ${failed[*]} =="
  exit 1
fi

# ---------------------------------------------------------------- aarch64 under qemu
if wants aarch64; then
  step "aarch64: core GoogleTest under qemu"
  bash "$ROOT/scripts/aarch64.sh" core
  step "aarch64: pytest under qemu"
  bash "$ROOT/scripts/aarch64.sh" pytest "$WHEEL_AARCH64" "$@"
fi

# ---------------------------------------------------------------- sanitizers
# The module built with ASan and UBSan, run in the plain interpreter: the
# sanitizer runtimes are preloaded (ASan must come first; libstdc++ is loaded
# up front, and linked shared rather than into the module, so that ASan can
# intercept the C++ exception functions), and
# PYTHONMALLOC=malloc routes Python's own allocations through ASan too.
# Leak detection stays off: the interpreter keeps many objects until exit.
if wants asan; then
  step "asan: ASan+UBSan module, pytest on $("$VPY" -c 'import sys; print("%d.%d" % sys.version_info[:2])')"
  "$CMAKE" -S . -B build/asan -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARIN_BUILD_PYTHON=ON -DPython_EXECUTABLE="$VPY" -DTESSARIN_STATIC_LIBSTDCXX=OFF \
    "-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    -DCMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
  "$CMAKE" --build build/asan
  rm -rf build/asan/site
  "$CMAKE" --install build/asan --prefix build/asan/site >/dev/null
  run_pytest env \
    LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so) $(g++ -print-file-name=libstdc++.so)" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS=detect_leaks=0 \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    TESSARIN_SANITIZER=address \
    PYTHONPATH="$ROOT/build/asan/site" \
    "$VPY" -m pytest -q -p no:cacheprovider -rs "$@"
fi

if wants tsan; then
  step "tsan: core GoogleTest under ThreadSanitizer"
  "$CMAKE" -S . -B build/core-tsan -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSARIN_BUILD_TESTS=ON "-DCMAKE_CXX_FLAGS=-fsanitize=thread -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread >/dev/null
  "$CMAKE" --build build/core-tsan
  # ThreadSanitizer cannot follow a child that starts threads after forking a
  # multi-threaded process (it dies on purpose), and its own allocator's lock
  # can be inherited held by a child forked while another thread allocates
  # (GCC 12's runtime; the child then hangs in its first allocation), so the
  # fork tests of the pool and of the value memory cache run only in the
  # plain core run above. The float reader's million-text tests
  # run on one thread, where it finds nothing, ten times slower.
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    "$ROOT/.venv/bin/ctest" --test-dir build/core-tsan --output-on-failure -j2 --no-tests=error \
    -E '^(WorkerPoolForkTest|ChunkCacheForkTest|ReadDouble)\.'
fi

# ---------------------------------------------------------------- second C++ runtime
if wants clang; then
  step "clang: clang 19 and libc++, core GoogleTest and pytest"
  bash "$ROOT/scripts/clang-libcxx.sh" "$@"
fi

# ---------------------------------------------------------------- fuzzing
if wants fuzz; then
  step "fuzz: canonical JSON, payload and scanner readers, ${FUZZ_SECONDS} s"
  "$CMAKE" -S . -B build/fuzz -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++-14 -DTESSARIN_BUILD_FUZZERS=ON \
    "-DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
  "$CMAKE" --build build/fuzz
  # The corpus lives on between local runs; CI starts from the seeds.
  "$VPY" tests/fuzz/make_seeds.py build/fuzz-corpus
  mkdir -p build/fuzz-artifacts
  build/fuzz/tests/fuzz/tessarin_fuzz_readers build/fuzz-corpus \
    -dict=tests/fuzz/canonical_json.dict -max_len=4096 -timeout=10 \
    -max_total_time="$FUZZ_SECONDS" -print_final_stats=1 \
    -artifact_prefix=build/fuzz-artifacts/ 2>&1 |
    # Progress lines and the closing dictionary advice are noise in a log.
    sed -e '/^#[0-9]/d' -e '/^###### Recommended dictionary/,/^###### End of recommended dictionary/d' || exit 1
fi

summary
[ -n "${NOT_TESTED:-}" ] && echo "== $NOT_TESTED =="
echo "== all passed in $(( $(date +%s) - RUN_START )) s =="
