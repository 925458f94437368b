#!/usr/bin/env bash
# Builds everything and runs every test: GoogleTest (through ctest) for the
# core library, pytest for the module, mypy's stubtest for the type stubs and
# mypy over the examples. Installs what it needs when missing.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

if [ ! -f /usr/include/gtest/gtest.h ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq libgtest-dev >/dev/null
fi

install_requirements -r requirements-dev.txt
build_module

echo "== core: GoogleTest =="
CMAKE="$ROOT/.venv/bin/cmake"
"$CMAKE" -S . -B build/core-tests -G Ninja -DCMAKE_MAKE_PROGRAM="$ROOT/.venv/bin/ninja" \
  -DTESSARIN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
"$CMAKE" --build build/core-tests
"$ROOT/.venv/bin/ctest" --test-dir build/core-tests --output-on-failure -j2 --no-tests=error

echo "== type stubs =="
"$VPY" -m mypy.stubtest tessarin --allowlist tests/stubtest-allowlist.txt
"$VPY" -m mypy --strict examples

echo "== module: pytest =="
# Run from tests/ so that the installed module, not the source tree, is imported.
cd tests
"$VPY" -m pytest -q -p no:cacheprovider "$@"

# Release wheel checks (reproducible build, abi3audit, auditwheel, installs
# on CPython 3.10 and 3.13): about 2-4 minutes, so once per CI run only.
# Lint (scripts/lint.sh) joins once the tree has been formatted with
# scripts/format.sh; until then it is not called here.
if [ "${CI:-}" = "true" ]; then bash "$ROOT/scripts/wheel.sh"; fi
