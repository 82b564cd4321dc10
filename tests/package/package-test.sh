#!/usr/bin/env bash
# The Debian packages as a studio and an operator meet them: built by
# scripts/package, installed with apt into a fresh Debian root made for the test
# (mmdebstrap, from the archive this machine uses), then used there: the server
# started as its system user with its packaged options, the launcher signing in
# to it with a stored account, a C program built with pkg-config. Removing must
# leave only the database and the configuration, purging nothing.
#   package-test.sh SOURCE_DIR WORK_DIR [--prebuilt]   (--prebuilt: use WORK_DIR's packages)
set -euo pipefail
src=$1
work=$2
prebuilt=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
t0=$(date +%s)
say() { echo "package-test: $*"; }
fail() {
  echo "package-test: FAILED: $*" >&2
  exit 1
}
skip() {
  echo "package-test: SKIPPED: $*"
  exit 77
}

# A root of its own needs chroot and mounts; only root can.
[ "$(id -u)" -eq 0 ] || skip "needs root (chroot and mounts for a fresh Debian root); run it as root"
if ! command -v mmdebstrap >/dev/null; then
  say "installing mmdebstrap"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null ||
    skip "mmdebstrap cannot be installed here"
fi

mkdir -p "$work"
if [ "$prebuilt" != --prebuilt ]; then
  "$src/scripts/package" --out "$work"
fi
debs=()
for d in "$work"/*.deb; do [[ "$d" == *-dbgsym_* ]] || debs+=("$d"); done
[ ${#debs[@]} -eq 4 ] || fail "not the four packages in $work: ${debs[*]}"
t_built=$(date +%s)

# The archive this machine's apt uses, as its sources files say.
sources=()
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -s "$f" ] && grep -q 'debian' "$f" && sources+=("$f")
done
[ ${#sources[@]} -gt 0 ] || skip "no Debian archive in /etc/apt/sources.list*"

# mmdebstrap runs the inside part as a hook, with /proc, /sys and /dev mounted in
# the new root, and removes the root afterwards whatever happens (target /dev/null).
say "making a Debian bookworm root and installing ${#debs[@]} packages into it"
version=$(dpkg-deb -f "${debs[0]}" Version)
# Downloaded packages are kept between runs, as ccache keeps objects.
cache="${XDG_CACHE_HOME:-$HOME/.cache}/qorchat-package-test/archives"
mkdir -p "$cache"
status=0
mmdebstrap --quiet --variant=minbase --include=gcc,libc6-dev,pkg-config --skip=essential/unlink \
  --setup-hook="mkdir -p \"\$1/var/cache/apt/archives\" && cp -a '$cache/.' \"\$1/var/cache/apt/archives/\"" \
  --customize-hook="'$here/in-root.sh' \"\$1\" '$work' '$version' '$cache'" \
  bookworm /dev/null "${sources[@]}" || status=$?
t_end=$(date +%s)
say "took $((t_end - t0)) s: packages $((t_built - t0)) s, root and checks $((t_end - t_built)) s"
[ "$status" -eq 0 ] || fail "the checks in the fresh root failed (mmdebstrap exit status $status)"
say "passed"
