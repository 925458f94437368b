# Sourced by lint.sh and format.sh: pinned ruff and clang-format (both from
# PyPI) in an environment of their own under build/, so that every machine
# checks with the same versions.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
LINT="$ROOT/build/lint-tools"
RUFF_VERSION="0.17.5"
CLANG_FORMAT_VERSION="23.1.3"
if [ ! -x "$LINT/bin/ruff" ] || [ ! -x "$LINT/bin/clang-format" ] \
  || [ "$("$LINT/bin/ruff" --version)" != "ruff $RUFF_VERSION" ] \
  || ! "$LINT/bin/clang-format" --version | grep -q "version $CLANG_FORMAT_VERSION"; then
  "${PYTHON:-python3}" -m venv "$LINT"
  "$LINT/bin/python" -m pip install --quiet --disable-pip-version-check \
    "ruff==$RUFF_VERSION" "clang-format==$CLANG_FORMAT_VERSION"
fi

# The C++ that .clang-format governs, NUL-separated. The generated Unicode
# tables (.inc) keep the generator's layout.
cpp_sources() {
  git ls-files -z -- 'src/*.cpp' 'src/*.hpp' 'tests/core/*.cpp' 'tests/core/*.hpp'
}
