#!/bin/bash
# Follows the README's Debian-package recipe on Debian 13, as on a new machine: makes a minimal
# Debian 13 root with debootstrap, copies the source tree to /root/lagwatch in it and, inside,
# runs the recipe's commands as the README has them (its first sh block under "The Debian
# package"), then lintian (no error, no warning) and the installed "lagwatch --help". As root:
#
#   tools/debian13-package.sh [WORK-DIR]     (default: build-debian13 in the source tree)
#
# WORK-DIR is made anew. Its root is removed at the end unless KEEP_ROOT=1; the package stays
# beside it as WORK-DIR/lagwatch_*.deb. /proc and /dev are mounted into the root only while it is
# used, and unmounted on every way out before anything is removed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$top/build-debian13}
root=$work/root

# The recipe: the first sh block after the heading "### The Debian package".
recipe=$(awk '/^### The Debian package$/ { found = 1; next }
  found && /^```sh$/ { inside = 1; next }
  inside && /^```$/ { exit }
  inside' "$top/README.md")
if [ -z "$recipe" ]; then
  echo "debian13-package: README.md has no sh block under '### The Debian package'" >&2
  exit 2
fi

mounts_below_root() {  # the mount points below the root, deepest first
  findmnt -rn -o TARGET | awk -v r="$root/" 'index($0, r) == 1' | sort -r
}
unmount_all() {
  local target
  for target in $(mounts_below_root); do
    umount "$target" || umount -l "$target" || true
  done
}
# Nothing is ever removed below the root while something is mounted there (a bind mount of /dev
# would take the host's device nodes along).
remove_root() {
  if [ -n "$(mounts_below_root)" ]; then
    echo "debian13-package: still mounted below $root: $(mounts_below_root | tr '\n' ' ')" >&2
    return 1
  fi
  rm -rf "$root"
}
trap unmount_all EXIT
trap 'exit 130' INT TERM HUP

unmount_all  # what an earlier run that was killed may have left
remove_root
mkdir -p "$work"
rm -f "$work"/lagwatch_*.deb

echo "== debootstrap --variant=minbase trixie"
start=$SECONDS
debootstrap --variant=minbase trixie "$root" > "$work/debootstrap.log" 2>&1 \
  || { tail -20 "$work/debootstrap.log"; exit 1; }
echo "   $((SECONDS - start)) s: $(cat "$root/etc/debian_version")"

# The source tree as a clone has it: without build trees and git's own files.
mkdir "$root/root/lagwatch"
tar -C "$top" --exclude=./.git --exclude='./build*' --exclude=./out -c . \
  | tar -C "$root/root/lagwatch" -x

mount -t proc proc "$root/proc"
mount --bind /dev "$root/dev"

in_root() {  # in_root COMMANDS: runs them with bash -e in the source tree inside the root
  chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    bash -euo pipefail -c "cd /root/lagwatch && $1"
}

echo "== the README's recipe"
printf '%s\n' "$recipe" | sed 's/^/   /'
start=$SECONDS
in_root "$recipe" > "$work/recipe.log" 2>&1 || { tail -30 "$work/recipe.log"; exit 1; }
echo "   $((SECONDS - start)) s"
cp "$root"/root/lagwatch/build-deb/lagwatch_*.deb "$work/"

echo "== lintian (no error, no warning)"
start=$SECONDS
in_root "apt-get install -y lintian > /root/lintian-install.log 2>&1 \
  || { tail -20 /root/lintian-install.log; exit 1; }
  lintian --version && lintian --fail-on error,warning --display-info build-deb/lagwatch_*.deb"
echo "   $((SECONDS - start)) s"

echo "== the installed lagwatch --help"
in_root "dpkg -s lagwatch | grep '^Version: ' && ls \$(dpkg -L lagwatch | grep '\\.timer\$') \
  && /usr/bin/lagwatch --help > help.out && head -n 1 help.out \
  && grep -q '^usage: lagwatch ' help.out"

unmount_all
if [ "${KEEP_ROOT:-0}" != 1 ]; then
  remove_root
fi
echo "== Debian 13: the package built, lints clean, installs and runs"
