# Sourced by the scripts in this folder: a virtual environment of the
# project's own in .venv with the build tools, and the module built from this
# checkout and installed into it.
#
# apt_install PACKAGE... installs Debian packages that are missing (through
# sudo when not root).
#
# PYTHON=/path/to/python3 picks the interpreter of .venv; an existing .venv
# made with another interpreter is recreated.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PY="${PYTHON:-python3}"
# Identifies an interpreter installation, seen from itself or from a venv of it.
interpreter_identity() {
  "$1" -c 'import sys; print(sys.base_prefix, sys.version)' 2>/dev/null || true
}
wanted_identity=""
if [ -n "${PYTHON:-}" ]; then
  wanted_identity="$(interpreter_identity "$PY")"
  if [ -z "$wanted_identity" ]; then
    echo "PYTHON=$PY does not run" >&2
    exit 1
  fi
fi
if [ -e .venv ]; then
  venv_identity="$(interpreter_identity .venv/bin/python)"
  if [ -z "$venv_identity" ] || { [ -n "$wanted_identity" ] && [ "$venv_identity" != "$wanted_identity" ]; }; then
    echo "== .venv: recreating it with $PY =="
    rm -rf .venv
  fi
fi
if [ ! -x .venv/bin/python ]; then
  "$PY" -m venv .venv
fi
VPY="$ROOT/.venv/bin/python"
install_requirements() {
  "$VPY" -m pip install --quiet --disable-pip-version-check "$@"
}
build_module() {
  # No build isolation: the build tools live in .venv already, and the
  # persistent build tree under build/ keeps rebuilds incremental.
  "$VPY" -m pip install --quiet --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
    -C build-dir="build/{wheel_tag}" .
}
# Installs the Debian packages named that are missing (through sudo when not root).
apt_install() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}
