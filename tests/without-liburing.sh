#!/usr/bin/env bash
# Runs a command as on a machine without liburing: in a private mount
# namespace (root only) every directory holding liburing's headers or shared
# libraries is replaced by a view of itself without them.
#   tests/without-liburing.sh COMMAND [ARG...]
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  if [ "$(id -u)" != 0 ] || ! command -v unshare >/dev/null; then
    echo "without-liburing: needs root and unshare for a private mount namespace" >&2
    exit 77
  fi
  work=$(mktemp -d /tmp/kestrelio-no-uring.XXXXXX)
  trap 'rmdir "$work" 2>/dev/null || true' EXIT
  unshare --mount --propagation private "$0" --inside "$work" "$@"
  exit $?
fi
shift
work=$1
shift
mount -t tmpfs tmpfs "$work"

dirs=$( {
  ldconfig -p | awk '/liburing/ {print $NF}' | xargs -r -n1 dirname
  for d in /usr/include /usr/local/include /usr/lib/*-linux-gnu /usr/lib64 /usr/lib /usr/local/lib; do
    if compgen -G "$d/liburing*" >/dev/null; then echo "$d"; fi
  done
} | xargs -r -n1 realpath | sort -u)

n=0
for dir in $dirs; do
  n=$((n + 1))
  keep="$work/keep$n" farm="$work/farm$n"
  mkdir "$keep" "$farm"
  mount --bind "$dir" "$keep"
  shopt -s nullglob dotglob
  ln -s "$keep"/* "$farm"/
  shopt -u nullglob dotglob
  rm -f "$farm"/liburing*
  mount --bind "$farm" "$dir"
  echo "without-liburing: hid liburing* in $dir" >&2
done

exec "$@"
