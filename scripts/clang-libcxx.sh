#!/usr/bin/env bash
# The second C++ toolchain: clang 19 with LLVM's runtime (libc++, libc++abi
# and LLVM's libunwind, as Debian packages them), the runtime macOS uses.
# Builds the core and the wheel with it, warnings as errors, then runs the
# core GoogleTests, and the whole pytest suite on .venv's interpreter.
#
# GoogleTest must be built with the same standard library as the tests, so
# it is compiled once from Debian's sources (/usr/src/googletest) and kept in
# the cache (scripts/cache.sh), keyed by the package versions.
#
# Arguments go to pytest (e.g. -x, -k name).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
source "$ROOT/scripts/cache.sh"

# Exported: the cache's maker sees exported variables only.
export CMAKE="$ROOT/.venv/bin/cmake" NINJA="$ROOT/.venv/bin/ninja"
CLANG_PACKAGES=(clang-19 libc++-19-dev libc++abi-19-dev googletest)

apt_install "${CLANG_PACKAGES[@]}"

# Every compile and link step of this toolchain.
export CC=clang-19 CXX=clang++-19
export LIBCXX_FLAGS="-stdlib=libc++"

make_googletest() {
  local prefix="$1"
  "$CMAKE" -S /usr/src/googletest -B "$prefix/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$LIBCXX_FLAGS" \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF -Wno-dev -Wno-deprecated >/dev/null
  "$CMAKE" --build "$prefix/build" >/dev/null
  "$CMAKE" --install "$prefix/build" >/dev/null
  rm -rf "$prefix/build"
}
versions="$(dpkg-query -W -f='${Package}=${Version}\n' "${CLANG_PACKAGES[@]}")"
GTEST="$(cache_entry googletest-libcxx "$(cache_key "$versions" "$LIBCXX_FLAGS")" make_googletest)"

configure() {
  local dir="$1"
  shift
  "$CMAKE" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="$LIBCXX_FLAGS -Werror" -DCMAKE_C_FLAGS="-Werror" \
    -DCMAKE_EXE_LINKER_FLAGS="$LIBCXX_FLAGS" -DCMAKE_MODULE_LINKER_FLAGS="$LIBCXX_FLAGS" "$@" >/dev/null
}

echo "== clang/libc++: core GoogleTest =="
configure build/clang-core -DTESSARIN_BUILD_TESTS=ON -DGTest_DIR="$GTEST/lib/cmake/GTest"
"$CMAKE" --build build/clang-core
"$ROOT/.venv/bin/ctest" --test-dir build/clang-core --output-on-failure -j2 --no-tests=error

# The wheel as a user would build it with this toolchain, in an environment
# of its own (made on first use, from .venv's interpreter).
echo "== clang/libc++: wheel, pytest on $("$VPY" -c 'import sys; print("%d.%d" % sys.version_info[:2])') =="
rm -rf build/clang-libcxx/wheelhouse
"$VPY" -m pip wheel --quiet --disable-pip-version-check --no-build-isolation --no-deps \
  -w build/clang-libcxx/wheelhouse -Cbuild-dir=build/clang-libcxx/build -Ccmake.build-type=RelWithDebInfo \
  "-Ccmake.define.CMAKE_CXX_FLAGS=$LIBCXX_FLAGS -Werror" -Ccmake.define.CMAKE_C_FLAGS=-Werror \
  "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=$LIBCXX_FLAGS" .
# The module must really use libc++: a stray libstdc++ would hide the
# runtime this check is about.
if ! readelf -d build/clang-libcxx/build/tessarin*.so | grep -q 'libc++\.so'; then
  echo "the module is not linked with libc++" >&2
  exit 1
fi
VENV="$ROOT/build/venvs/clang-libcxx"
if [ "$(interpreter_identity "$VENV/bin/python")" != "$(interpreter_identity "$VPY")" ]; then
  rm -rf "$VENV"
  "$VPY" -m venv "$VENV"
fi
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check -r requirements-test.txt
"$VENV/bin/python" -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps \
  build/clang-libcxx/wheelhouse/tessarin-*.whl
# From tests/ so that the installed module, not the source tree, is imported.
cd "$ROOT/tests"
"$VENV/bin/python" -m pytest -q -p no:cacheprovider -rs "$@"
