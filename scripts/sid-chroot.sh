#!/usr/bin/env bash
# The pytest suite on CPython 3.14 and 3.15, with the very wheel that
# scripts/test.sh built, inside a Debian sid chroot: no stable Debian suite
# ships these interpreters yet, and sid has both as packages.
#
#   bash scripts/sid-chroot.sh WHEEL [PYTEST ARGS...]
#
# Made once per machine through scripts/cache.sh, each keyed by what goes into
# it:
#   sid-chroot   debootstrap --variant=minbase, then python3.X, python3.X-venv,
#                libpython3.X-testsuite (_testcapi, for the allocation failure
#                and sub-interpreter tests), libpython3.X-dev and gcc (the
#                embedding test compiles a program against libpython);
#   sid-wheels   the test requirements as wheels for each version, downloaded
#                here outside the chroot (pip inside it cannot verify TLS) and
#                installed inside from that folder alone.
# Each run mounts /proc, a tmpfs on /dev/shm and on /tmp, the clone on /src and
# the wheels on /mnt/wheels, and unmounts them on every exit, failures and
# interrupts included. Runs from several clones take turns on a lock. Each
# interpreter has a virtual environment of its own in the clone, under
# build/sid/.
#
# Needs root (chroot, mount). Exit status 0 when every version passed, 1 on a
# failure, 2 when a version could not be tested (not root, or sid no longer
# offers it): under CI=true that is a failure too.
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"
source "$ROOT/scripts/cache.sh"

if [ $# -lt 1 ] || [ ! -f "$1" ]; then
  echo "usage: bash scripts/sid-chroot.sh WHEEL [PYTEST ARGS...]" >&2
  exit 1
fi
WHEEL="$(realpath "$1")"
shift
CI="${CI:-false}"
# When sid drops one of these, update this list and the README's "Supported
# platforms" (the line "Tested: ... CPython 3.10 to 3.15").
SID_VERSIONS=(3.14 3.15)
export SID_MIRROR="http://deb.debian.org/debian"
SID_PACKAGES="gcc"
for version in "${SID_VERSIONS[@]}"; do
  SID_PACKAGES+=" python$version python$version-venv libpython$version-testsuite libpython$version-dev"
done
export SID_PACKAGES SID_VERSIONS_TEXT="${SID_VERSIONS[*]}" VPY

START=$(date +%s%N)
elapsed() {
  local tenths=$((($(date +%s%N) - START) / 100000000))
  echo "$((tenths / 10)).$((tenths % 10))"
}

not_tested() {
  echo "== sid chroot: not tested: $1 ==" >&2
  if [ "$CI" = true ]; then
    exit 1
  fi
  exit 2
}
not_offered() {
  echo "Debian sid no longer offers $1: update SID_VERSIONS in scripts/sid-chroot.sh" \
    "and the README's \"Supported platforms\" line \"Tested: ... CPython 3.10 to 3.15\"" >&2
}

if [ "$(id -u)" -ne 0 ]; then
  not_tested "CPython ${SID_VERSIONS[*]} (making and entering the chroot needs root)"
fi
export PATH="$PATH:/usr/sbin:/sbin"  # chroot, debootstrap
apt_install debootstrap

# One run at a time on this machine: the mounts below, and those that making
# the chroot needs, would collide.
mkdir -p "$TESSARIN_CACHE"
exec 8>"$TESSARIN_CACHE/sid-chroot.run.lock"
if ! flock -n 8; then
  echo "waiting for another run of the sid chroot to finish"
  flock 8
fi
MOUNTS=()
unmount_all() {
  local i
  for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
    umount "${MOUNTS[$i]}" 2>/dev/null || umount -l "${MOUNTS[$i]}" ||
      echo "sid chroot: could not unmount ${MOUNTS[$i]}" >&2
  done
  MOUNTS=()
}
trap unmount_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
# A run killed outright could not unmount (nor could debootstrap), and
# scripts/cache.sh never removes an entry with mounts; under the lock, nobody
# else uses them.
awk -v d="$(realpath "$TESSARIN_CACHE")/sid-chroot-" 'index($2, d) == 1 { print $2 }' /proc/self/mounts |
  sort -r | while read -r stale; do umount "$stale" || umount -l "$stale"; done

# ---------------------------------------------------------------- the chroot
# Fills DIR. Any package sid does not offer is named and left out; the run
# below then finds its interpreter missing.
make_chroot() {
  local dir="$1" wanted=() pkg
  debootstrap --variant=minbase sid "$dir" "$SID_MIRROR" >/dev/null
  mount -t proc proc "$dir/proc"
  trap "umount '$dir/proc'" EXIT
  chroot "$dir" apt-get -qq -o Acquire::Check-Valid-Until=false -o Acquire::Languages=none update
  for pkg in $SID_PACKAGES; do
    if [ -n "$(chroot "$dir" apt-cache -q=2 show --no-all-versions "$pkg" 2>/dev/null)" ]; then
      wanted+=("$pkg")
    else
      not_offered "$pkg"
    fi
  done
  chroot "$dir" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    -o Dpkg::Use-Pty=0 "${wanted[@]}" >/dev/null
  chroot "$dir" apt-get clean
  rm -rf "$dir"/var/lib/apt/lists/*
  mkdir -p "$dir/src" "$dir/mnt/wheels"
}

# The test requirements as wheels for every version, into DIR/<version>.
make_wheels() {
  local dir="$1" version
  for version in $SID_VERSIONS_TEXT; do
    "$VPY" -m pip download --quiet --disable-pip-version-check --python-version "$version" \
      --only-binary=:all: -d "$dir/$version" -r "$ROOT/requirements-test.txt"
  done
}
export ROOT

CHROOT="$(cache_entry sid-chroot \
  "$(cache_key "debootstrap --variant=minbase sid $SID_MIRROR" "$SID_PACKAGES" "$(declare -f make_chroot)")" \
  make_chroot)"
WHEELS="$(cache_entry sid-wheels \
  "$(cache_key "$SID_VERSIONS_TEXT" "$ROOT/requirements-test.txt" "$(declare -f make_wheels)")" \
  make_wheels)"
echo "chroot $CHROOT, wheels $WHEELS, at $(elapsed) s"
echo "Debian packages: $(chroot "$CHROOT" dpkg-query -W -f '${Package} ${Version}, ' $SID_PACKAGES 2>/dev/null | sed 's/, $//')"

# ---------------------------------------------------------------- mounts
mount_in() {
  mount "$@"
  MOUNTS+=("${!#}")
}
mount_in -t proc proc "$CHROOT/proc"
mount_in -t tmpfs -o mode=1777 tmpfs "$CHROOT/dev/shm"
mount_in -t tmpfs -o mode=1777 tmpfs "$CHROOT/tmp"
mount_in --bind "$ROOT" "$CHROOT/src"
mount_in --bind -o ro "$WHEELS" "$CHROOT/mnt/wheels"
cp "$WHEEL" "$CHROOT/tmp/"

# Runs a command inside, from DIR, with a clean environment.
inside() {
  local dir="$1"
  shift
  chroot "$CHROOT" env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/tmp LANG=C.UTF-8 \
    ${HYPOTHESIS_PROFILE:+HYPOTHESIS_PROFILE="$HYPOTHESIS_PROFILE"} \
    ${PYTEST_ADDOPTS:+PYTEST_ADDOPTS="$PYTEST_ADDOPTS"} \
    sh -c 'cd "$1" && shift && exec "$@"' inside "$dir" "$@"
}

# ---------------------------------------------------------------- pytest per version
failed=()
missing=()
for version in "${SID_VERSIONS[@]}"; do
  if ! inside / "python$version" -c '' 2>/dev/null; then
    not_offered "python$version"
    missing+=("$version")
    continue
  fi
  venv="/src/build/sid/$version"
  if [ "$(inside / "$venv/bin/python" -c 'import sys; print(sys.version)' 2>/dev/null)" != \
    "$(inside / "python$version" -c 'import sys; print(sys.version)')" ]; then
    rm -rf "$ROOT/build/sid/$version"
    inside / "python$version" -m venv "$venv"
  fi
  inside / "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-index \
    --find-links "/mnt/wheels/$version" -r /src/requirements-test.txt
  inside / "$venv/bin/python" -m pip install --quiet --disable-pip-version-check --no-index \
    --force-reinstall --no-deps "/tmp/$(basename "$WHEEL")"
  echo "== CPython $(inside / "$venv/bin/python" -c 'import sys; print(sys.version.split()[0])') (sid chroot)," \
    "in build/sid/$version, at $(elapsed) s =="
  echo "packages: $(inside / "$venv/bin/python" -m pip list --disable-pip-version-check --format=freeze | paste -sd ' ')"
  inside /src/tests "$venv/bin/python" -m pytest -q -p no:cacheprovider -rs "$@" || failed+=("$version")
done
echo "sid chroot done in $(elapsed) s"
if [ ${#failed[@]} -gt 0 ]; then
  echo "== sid chroot: pytest failed on: ${failed[*]} ==" >&2
  exit 1
fi
if [ ${#missing[@]} -gt 0 ]; then
  not_tested "CPython ${missing[*]} (not offered by sid)"
fi
