#!/usr/bin/env bash
# Builds the release wheel and checks it:
#   - twice, from clean build trees outside the source tree, with the same
#     SOURCE_DATE_EPOCH: the two wheels must be byte-identical;
#   - abi3audit --strict: the extension uses the stable ABI of 3.10 only;
#   - auditwheel show: the platform verdict quoted in the README;
#   - twine check: the README renders as the long description;
#   - installed into fresh environments of CPython 3.10 and 3.13, where the
#     quick start runs from the wheel.
# The wheel is left in dist/. Tools live in build/wheel-tools (git-ignored).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

TOOLS="$ROOT/build/wheel-tools"
if [ ! -x "$TOOLS/bin/python" ]; then
  "$PY" -m venv "$TOOLS"
fi
"$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check \
  build "scikit-build-core>=0.10" "cmake>=3.18" ninja abi3audit auditwheel twine

# The date of the last commit: the same source always gives the same stamps.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 315532800)}"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/tessarin-wheel.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

build_wheel() {  # $1: output directory. A fresh build tree outside the checkout.
  "$TOOLS/bin/python" -m pip wheel --quiet --disable-pip-version-check --no-deps --no-build-isolation \
    -C build-dir="$WORK/tree-$(basename "$1")" -w "$1" "$ROOT"
}
echo "== release wheel (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH) =="
# The working tree's build/ must stay as it was: a release build never
# writes into the source tree.
before="$(find "$ROOT" -path "$ROOT/.git" -prune -o -path "$ROOT/build" -prune -o -path "$ROOT/.venv" -prune \
  -o -newer "$WORK" -print 2>/dev/null | sort)"
build_wheel "$WORK/a"
build_wheel "$WORK/b"
after="$(find "$ROOT" -path "$ROOT/.git" -prune -o -path "$ROOT/build" -prune -o -path "$ROOT/.venv" -prune \
  -o -newer "$WORK" -print 2>/dev/null | sort)"
if [ "$before" != "$after" ]; then
  echo "the release build wrote into the source tree:" >&2
  comm -13 <(echo "$before") <(echo "$after") >&2
  exit 1
fi
WHEEL="$(ls "$WORK"/a/*.whl)"
NAME="$(basename "$WHEEL")"
if ! cmp "$WHEEL" "$WORK/b/$NAME"; then
  echo "not reproducible: two builds of the same source differ" >&2
  exit 1
fi
echo "reproducible: $NAME ($(sha256sum "$WHEEL" | cut -c1-16)...)"

echo "== abi3audit =="
"$TOOLS/bin/abi3audit" --strict --report "$WHEEL"
echo "== auditwheel show =="
"$TOOLS/bin/auditwheel" show "$WHEEL"
echo "== twine check =="
"$TOOLS/bin/twine" check --strict "$WHEEL"

echo "== install and run the quick start =="
for version in 3.10 3.13; do
  interpreter="$(ls -d /root/.pyenv/versions/"$version".*/bin/python3 2>/dev/null | sort -V | tail -1 || true)"
  [ -n "$interpreter" ] || interpreter="$(command -v "python$version" || true)"
  if [ -z "$interpreter" ]; then
    echo "CPython $version not found" >&2
    exit 1
  fi
  "$interpreter" -m venv "$WORK/venv-$version"
  "$WORK/venv-$version/bin/python" -m pip install --quiet --disable-pip-version-check --no-index "$WHEEL"
  # From an empty directory, so that nothing of the checkout is importable.
  (cd "$WORK" && "$WORK/venv-$version/bin/python" "$ROOT/examples/quickstart.py" >"$WORK/out-$version.txt")
  echo "CPython $("$WORK/venv-$version/bin/python" -c 'import platform; print(platform.python_version())'): quick start ran ($(wc -l <"$WORK/out-$version.txt") lines)"
done

mkdir -p "$ROOT/dist"
cp "$WHEEL" "$ROOT/dist/"
echo "wheel: dist/$NAME"
