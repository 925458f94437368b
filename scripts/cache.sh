# Sourced by the scripts that fetch or build something large for a test
# environment (a Debian chroot, a cross sysroot, an emulator, a toolchain's
# libraries): each such thing is made once per machine and kept outside the
# clone, in the user's cache directory, under a key computed from what went
# into it. A fresh machine makes everything again from these scripts; a
# changed input gives a new key, so a stale entry is never used.
#
#   TESSARIN_CACHE   where entries live (default: $XDG_CACHE_HOME/tessarin,
#                    or ~/.cache/tessarin)
#
#   cache_key TEXT|FILE...          prints a short key over the texts given,
#                                   and over the contents of those that are files
#   cache_entry NAME KEY MAKER ARGS...
#                                   prints the directory of entry NAME-KEY,
#                                   first running `MAKER ARGS... DIR` to fill
#                                   it when it does not exist yet
#
# MAKER (a function or command) sees the caller's functions and exported
# variables only. It fills a temporary directory that is renamed into place only when it
# succeeds, so an interrupted run leaves no half-made entry behind. Callers
# that want the same entry at once (two clones on one machine) take turns on
# a lock. Older entries of the same NAME are removed, except any that still
# has something mounted inside it.
TESSARIN_CACHE="${TESSARIN_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/tessarin}"

cache_key() {
  local item
  for item in "$@"; do
    if [ -f "$item" ]; then
      printf 'file %s\n' "$(sha256sum <"$item" | cut -d' ' -f1)"
    else
      printf 'text %s\n' "$item"
    fi
  done | sha256sum | cut -c1-16
}

# True when anything is mounted at or below the directory $1.
cache_has_mounts() {
  local dir
  dir="$(realpath "$1")"
  awk -v d="$dir" '$2 == d || index($2, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mounts
}

cache_entry() {
  local name="$1" key="$2"
  shift 2
  local dir="$TESSARIN_CACHE/$name-$key"
  mkdir -p "$TESSARIN_CACHE"
  (
    flock 9
    if [ ! -e "$dir/.complete" ]; then
      echo "== cache: making $name ($key) in $TESSARIN_CACHE ==" >&2
      if [ -e "$dir.partial" ] && cache_has_mounts "$dir.partial"; then
        echo "cache: $dir.partial still has mounts; unmount them first" >&2
        exit 1
      fi
      rm -rf "$dir" "$dir.partial"
      mkdir -p "$dir.partial"
      # MAKER runs in a bash of its own with errexit, so that its first
      # failing command fails it even when this function was called as a
      # condition (where bash ignores errexit for the whole call). It sees
      # the caller's functions and exported variables.
      # Every step below checks its status for the same reason.
      if ! bash -c 'set -euo pipefail; eval "$1"; shift; "$@"' maker "$(declare -f)" "$@" "$dir.partial" >&2; then
        echo "cache: making $name failed" >&2
        exit 1
      fi
      touch "$dir.partial/.complete" && mv "$dir.partial" "$dir" || exit 1
      local old
      # Exactly NAME-<16 hex digits>: another name may begin with this one.
      for old in "$TESSARIN_CACHE/$name"-????????????????; do
        [ -d "$old" ] && [ "$old" != "$dir" ] || continue
        cache_has_mounts "$old" || rm -rf "$old"
      done
    fi
  ) 9>"$TESSARIN_CACHE/$name.lock" || return 1
  echo "$dir"
}
