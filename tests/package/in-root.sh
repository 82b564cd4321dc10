#!/usr/bin/env bash
# The part of package-test.sh inside the fresh root R (mmdebstrap's customize
# hook: /proc, /sys and /dev are mounted there): in-root.sh R DEBDIR VERSION [CACHE]
# CACHE receives the archive's packages that were downloaded.
set -euo pipefail
r=$1
debdir=$2
version=$3
cache=${4:-}
say() { echo "package-test: $*"; }
fail() {
  echo "package-test: FAILED: $*" >&2
  exit 1
}
in_root() { chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }
pkgs=(libqorchat1 libqorchat-dev qorchat qorchat-server)

# Every path but the package system's own bookkeeping (deb-systemd-helper's
# included), the account files' backups, caches and scratch.
snapshot() {
  (cd "$r" && find . -xdev \( -path ./proc -o -path ./sys -o -path ./dev -o -path ./run -o -path ./tmp \
    -o -path ./root -o -path ./var/cache -o -path ./var/lib/apt -o -path ./var/lib/dpkg -o -path ./var/log \
    -o -path ./var/tmp -o -path './var/lib/systemd/deb-systemd-*' -o -path './etc/*-' \) -prune -o -print | sed 's/^\.//' | sort)
}
# Paths in $2 that were not in $1, minus the files the installed packages own.
added() {
  local owned
  owned=$(mktemp)
  cat "$r"/var/lib/dpkg/info/*.list | sort -u >"$owned"
  comm -13 "$1" "$2" | comm -23 - "$owned"
  rm -f "$owned"
}

mkdir -p "$r/tmp/debs"
for d in libqorchat1 libqorchat-dev qorchat qorchat-server; do cp "$debdir/${d}_"*.deb "$r/tmp/debs/"; done
# What the packages need, resolved by apt from the archive, before they come in:
# what they then add is theirs alone.
deps=$(for d in "$r"/tmp/debs/*.deb; do dpkg-deb -f "$d" Depends; done | tr ',' '\n' |
  grep -Ev '^ *(libqorchat1|libqorchat-dev|qorchat|qorchat-server)( |$)' | sed 's/^ *//' | sort -u | paste -sd, -)
in_root apt-get satisfy -y -qq --no-install-recommends "$deps" >/dev/null
[ -z "$cache" ] || find "$r/var/cache/apt/archives" -maxdepth 1 -name '*.deb' -exec cp -a -t "$cache" {} +
snapshot >"$r/tmp/before"
say "installing ${pkgs[*]} with apt"
in_root apt-get install -y -qq --no-install-recommends $(cd "$r" && ls tmp/debs/*.deb | sed 's|^|/|') >"$r/tmp/install.log" 2>&1 ||
  { cat "$r/tmp/install.log"; fail "apt could not install the packages"; }
for p in "${pkgs[@]}"; do
  [ "$(in_root dpkg-query -W -f='${Status}' "$p")" = "install ok installed" ] || fail "$p is not installed"
done

got=$(in_root qorchat-server --version)
[ "$got" = "qorchat-server $version" ] || fail "qorchat-server --version printed '$got'"
say "$got"
got=$(in_root qorchat --version)
[ "$got" = "qorchat $version" ] || fail "qorchat --version printed '$got'"

# The service's pieces: its user, its state folder, its options as a conffile,
# the unit, and every page the unit names as its documentation.
in_root getent passwd qorchat-server >/dev/null || fail "no system user qorchat-server"
state=$(in_root stat -c '%U %a' /var/lib/qorchat-server)
[ "$state" = "qorchat-server 700" ] || fail "/var/lib/qorchat-server: $state"
in_root dpkg-query -W -f='${Conffiles}\n' qorchat-server | grep -q '^ /etc/default/qorchat-server ' ||
  fail "/etc/default/qorchat-server is not a conffile"
unit=$(in_root dpkg -L qorchat-server | grep '/systemd/system/qorchat-server.service$') || fail "no systemd unit"
docs=$(sed -n 's/^Documentation=//p' "$r$unit")
[ -n "$docs" ] || fail "the unit names no documentation"
for d in $docs; do
  case "$d" in
    man:*) page=${d#man:} name=${page%(*} section=${page#*(} section=${section%)}
      [ -e "$r/usr/share/man/man$section/$name.$section.gz" ] || fail "the unit names $d, which is not installed" ;;
    file://*) [ -e "$r${d#file://}" ] || fail "the unit names $d, which is not installed" ;;
  esac
done
[ -e "$r/usr/share/man/man1/qorchat.1.gz" ] || fail "no qorchat(1)"
# Enabling is deb-systemd-helper's, which a root without systemd may lack.
[ ! -x "$r/usr/bin/deb-systemd-helper" ] ||
  [ -L "$r/etc/systemd/system/multi-user.target.wants/qorchat-server.service" ] || fail "the service is not enabled"

# The server as the service runs it: its user, its options; only the address
# and port differ (loopback, a port the kernel picks free).
say "starting the server as qorchat-server with /etc/default/qorchat-server"
server_pid=""
launcher_pid=""
cleanup() {
  for p in $launcher_pid $server_pid; do kill "$p" 2>/dev/null || true; done
}
trap cleanup EXIT
chroot "$r" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin runuser -u qorchat-server -- \
  sh -c '. /etc/default/qorchat-server; echo $$ >/tmp/server.pid
         exec qorchat-server $QORCHAT_SERVER_OPTIONS --listen 127.0.0.1 --port 0' \
  >"$r/tmp/server.log" 2>&1 &
port=""
for _ in $(seq 150); do
  port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$r/tmp/server.log" | head -n1)
  [ -n "$port" ] && break
  sleep 0.2
done
server_pid=$(cat "$r/tmp/server.pid" 2>/dev/null || true)
[ -n "$port" ] || { cat "$r/tmp/server.log"; fail "the server did not start"; }
[ "$(stat -c %u "/proc/$server_pid")" = "$(in_root id -u qorchat-server)" ] || fail "the server does not run as qorchat-server"
[ -e "$r/var/lib/qorchat-server/lobby.sqlite" ] || fail "the server did not open the packaged database"

# An account registered over the wire, then stored in the player's settings as
# the lobby stores it (each character's code shifted by three).
user=pkgplayer password=pass123
exec 3<>"/dev/tcp/127.0.0.1/$port"
answer() {
  local line
  IFS= read -r -t 60 line <&3 || fail "no answer from the server to: $1"
  [[ "$line" == +OK* ]] || fail "the server answered '$line' to: $1"
}
answer greeting
for cmd in "GAMENAME PkgGame" "HOST no" "REGISTUSER $user $password pkg@example.org "; do
  printf '%s\r\n' "$cmd" >&3
  answer "$cmd"
done
exec 3>&-
mkdir -p "$r/tmp/player/vantelis"
printf '[server]\naddress=127.0.0.1\nport=%s\n[user]\nipwarn=false\nname=%s\npassword=%s\n' \
  "$port" "$user" "$(printf %s "$password" | tr 'a-w0-6' 'd-z3-9')" >"$r/tmp/player/vantelis/settings.ini"

say "the launcher signing in offscreen as $user"
chroot "$r" env -i PATH=/usr/bin:/bin HOME=/tmp/player XDG_CONFIG_HOME=/tmp/player QT_QPA_PLATFORM=offscreen \
  sh -c 'echo $$ >/tmp/launcher.pid; exec qorchat PkgGame' >"$r/tmp/launcher.log" 2>&1 &
signed_in=0
for _ in $(seq 300); do
  grep -q "sign-in: $user from" "$r/tmp/server.log" && { signed_in=1; break; }
  launcher_pid=$(cat "$r/tmp/launcher.pid" 2>/dev/null || true)
  [ -n "$launcher_pid" ] && ! kill -0 "$launcher_pid" 2>/dev/null && break
  sleep 0.2
done
launcher_pid=$(cat "$r/tmp/launcher.pid" 2>/dev/null || true)
if [ "$signed_in" != 1 ]; then
  cat "$r/tmp/launcher.log" "$r/tmp/server.log"
  fail "the installed launcher did not sign in"
fi
kill -0 "$launcher_pid" 2>/dev/null || fail "the launcher ended after signing in"
kill "$launcher_pid"
say "signed in: $(grep "sign-in: $user" "$r/tmp/server.log")"

say "building a C program with pkg-config qorchat"
cat >"$r/tmp/version.c" <<'C'
#include <qorchat/qorchat.h>
#include <stdio.h>
int main(void)
{
    printf("%s\n", qorchat_version());
    return 0;
}
C
got=$(in_root sh -c 'cc -Wall -Wextra -Werror -o /tmp/version /tmp/version.c $(pkg-config --cflags --libs qorchat) && /tmp/version') ||
  fail "the C program did not build or run"
[ "$got" = "$version" ] || fail "the C program printed '$got', not $version"

kill "$server_pid"
for _ in $(seq 100); do kill -0 "$server_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$server_pid" 2>/dev/null && fail "the server did not stop on SIGTERM"
server_pid=""
rm -f "$r"/tmp/*.pid

# Removed: only the options and the database stay (and the service's enabled
# state, which is configuration until purged).
in_root dpkg --remove "${pkgs[@]}" >/dev/null
snapshot >"$r/tmp/removed"
left=$(added "$r/tmp/before" "$r/tmp/removed" |
  grep -Ev '^/etc/default/qorchat-server$|^/var/lib/qorchat-server(/lobby\.sqlite(-wal|-shm)?)?$' |
  grep -Ev '^/etc/systemd/system(/multi-user\.target\.wants(/qorchat-server\.service)?)?$|^/var/lib/systemd$' || true)
[ -z "$left" ] || fail "removing left: $left"
[ -e "$r/etc/default/qorchat-server" ] && [ -e "$r/var/lib/qorchat-server/lobby.sqlite" ] ||
  fail "removing did not keep the configuration and the database"

in_root dpkg --purge "${pkgs[@]}" >/dev/null
snapshot >"$r/tmp/purged"
left=$(added "$r/tmp/before" "$r/tmp/purged" || true)
[ -z "$left" ] || fail "purging left: $left"
say "removing kept only the configuration and the database; purging left nothing"
