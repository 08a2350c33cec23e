#!/bin/sh
# install-test.sh DIR: takes the package that make deb built into DIR,
# checks what it holds (the README, the examples and the pages naming the
# package's paths, the license, directories 0755, the pages' footers with
# the package's version, run scripts executable), unpacks it into a
# throw-away root, lays that root's /usr/lib and /usr/bin over the system's
# in a private mount namespace, verifies the example units there with
# systemd-analyze (when installed), and runs the command execution service
# from it as the README does: tollsetup, one rule compiled by the rules Makefile's bare tollmark,
# the run script, one allowed and one denied request through sockconnect
# and tollcall, and the log lines.
# Exit 0 when all is as expected, 77 when it cannot run here, 1 on a fault.
set -u
dir=${1:-build-deb}
deb=$(ls "$dir"/corvane_*_"$(dpkg --print-architecture)".deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || { echo "no package in $dir: run make deb first"; exit 77; }
[ "$(id -u)" = 0 ] || { echo "needs root for a mount namespace"; exit 77; }
t=$(mktemp -d /tmp/corvane-deb.XXXXXX) || exit 1
chmod 755 "$t"
trap 'rm -rf "$t"' EXIT

fail() { echo "install-test: $*"; exit 1; }

# corvane embeds libperl of the Perl it was built with.
deps=$(dpkg-deb -f "$deb" Depends)
perlapi=perlapi-$(perl -MConfig -e 'print $Config{version}')
case $deps in *libperl5.*) ;; *) fail "no libperl in Depends: $deps" ;; esac
case $deps in *"$perlapi"*) ;; *) fail "no $perlapi in Depends: $deps" ;; esac

dpkg-deb -x "$deb" "$t/root" || fail "cannot unpack $deb"
doc=/usr/share/doc/corvane
for p in /usr/lib/corvane/ipc/corvane /usr/lib/corvane/command/tollgant /usr/bin/tollsetup \
         /usr/share/man/man8/sockserve.8.gz /usr/share/man/man1/tollsetup.1.gz \
         $doc/README.md.gz $doc/README.Debian $doc/examples/service/run \
         $doc/examples/corvane-echo.service $doc/examples/corvane-whoami.socket \
         $doc/examples/corvane-cmd.service $doc/examples/s6-echo/notification-fd; do
  [ -e "$t/root$p" ] || fail "$p is not in the package"
done
grep -qx 'License: ISC' "$t/root$doc/copyright" || fail "no ISC license in $doc/copyright"
for p in service/run service/log/run s6-echo/run; do
  [ -x "$t/root$doc/examples/$p" ] || fail "$doc/examples/$p is not executable"
done

# Every directory 0755, whatever the umask of the build.
loose=$(dpkg-deb -c "$deb" | awk '$1 ~ /^d/ && $1 != "drwxr-xr-x"')
[ -z "$loose" ] || fail "directories not 0755: $loose"

# The examples and the pages name the package's installation directory, and
# each path in it that they name is in the package.
stale=$(find "$t/root$doc/examples" "$t/root/usr/share/man" -type f \
        -exec sh -c 'zcat -f "$1" | grep -q /usr/local/corvane' sh {} \; -print)
[ -z "$stale" ] || fail "/usr/local/corvane named in: $stale"
named=$(find "$t/root$doc/examples" "$t/root/usr/share/man" -type f -exec zcat -f {} + |
        grep -o '/usr/lib/corvane/[A-Za-z0-9_/]*' | sort -u)
case $named in *"/usr/lib/corvane/command/sockserve"*) ;; *) fail "sockserve(8) names no installed sockserve" ;; esac
for p in $named; do [ -e "$t/root$p" ] || fail "$p is named but not in the package"; done

# The pages' footers carry the package's version.
version=$(dpkg-deb -f "$deb" Version)
for page in "$t/root"/usr/share/man/man?/*.gz; do
  zcat "$page" | head -n 1 | grep -q " \"corvane $version\" " || fail "$page: footer is not corvane $version"
done

unshare --mount --propagation private sh -s "$t" >"$t/out" 2>&1 <<'SCRIPT'
t=$1
for d in /usr/lib /usr/bin; do
  mount -t overlay overlay -o "lowerdir=$t/root$d:$d" "$d" || exit 77
done
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
umask 022
# The units as shipped: each program they name is the package's.
if command -v systemd-analyze >/dev/null; then
  ex=$t/root/usr/share/doc/corvane/examples
  systemd-analyze verify --man=no "$ex"/*.socket "$ex"/*.service || exit 2
fi
tollsetup root nobody "$t/cmd" || exit 1
printf '0,65534.id:allow\n:deny\n' >"$t/cmd/rules/data"
make -s -C "$t/cmd/rules" || exit 1
"$t/cmd/run" >"$t/log" 2>&1 &
server=$!
for _ in $(seq 100); do [ -S "$t/cmd/s" ] && break; sleep 0.1; done
for uid in 65534 0; do echo "== $uid"; sockconnect "$t/cmd/s" tollcall $uid id -un; done
for _ in $(seq 50); do [ "$(grep -c 'status: 0/40' "$t/log")" -ge 3 ] && break; sleep 0.1; done
kill $server
wait
exit 0
SCRIPT
status=$?
[ $status -eq 77 ] && { echo "cannot lay the package over /usr here"; cat "$t/out"; exit 77; }
[ $status -eq 2 ] && { cat "$t/out"; fail "the example units do not pass systemd-analyze verify"; }
[ $status -eq 0 ] || { cat "$t/out"; fail "the service did not run (exit $status)"; }
[ "$(cat "$t/out")" = "$(printf '== 65534\nnobody\n== 0')" ] || { cat "$t/out"; fail "unexpected client output"; }
grep -v ': status: \|: pid \|: end ' "$t/log" >"$t/verdicts"
[ "$(cat "$t/verdicts")" = "$(printf 'tollgant: ok 0.0,65534.id\ntollgant: deny 0.0,0.id')" ] \
  || { cat "$t/log"; fail "unexpected log"; }
echo "install-test: $deb serves from a throw-away root"
exit 0
