# Sourced by the scripts in this folder: a virtual environment of the
# project's own in .venv with the build tools, and the module built from this
# checkout and installed into it.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
PY="${PYTHON:-python3}"
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
  "$VPY" -m pip install --quiet --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps .
}
