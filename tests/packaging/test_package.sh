#!/bin/sh
# The Debian packages as a gateway gets them: made with CPack from this build tree (nothing is
# compiled again), inspected with dpkg-deb, then installed into a throwaway root with dpkg and
# its maintainer scripts, upgraded, removed and purged. The manual pages render without
# warnings and show the daemon's own defaults, and `cmake --install` puts the pages and a unit
# naming its own prefix in place.
#
#   test_package.sh BUILD_DIR SOURCE_DIR VERSION
set -eu
build=$1 src=$2 version=$3
arch=$(dpkg --print-architecture)
work=$(mktemp -d)
# The daemon started below gets a content segment of its own.
export VYL_OSV_NAME="/tessarc-test-osv-package-${work##*/}"
# The event database's configuration semaphore is named after the database's path.
trap 'rm -rf "$work" "/dev/shm$VYL_OSV_NAME" \
    "/dev/shm/sem.config-count-$(echo "$work/first/var/lib/dels/dels.db" | tr / -)"' EXIT

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# expect WHAT COMMAND...: the command must succeed.
expect() {
    what=$1
    shift
    "$@" || fail "$what"
}

# ---- building ---------------------------------------------------------------------------------
(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; fail "cpack"; }
deb=$work/out/tessarc_${version}_$arch.deb
tools=$work/out/tessarc-tools_${version}_$arch.deb
expect "daemon package named $(basename "$deb")" test -f "$deb"
expect "tools package named $(basename "$tools")" test -f "$tools"

# ---- contents: files, modes, owners -----------------------------------------------------------
dpkg-deb -c "$deb" | awk '{ print $1, $2, $6 }' >"$work/files"
dpkg-deb -c "$tools" | awk '{ print $1, $2, $6 }' >"$work/tools-files"
cat >"$work/expected" <<LIST
-rwxr-xr-x root/root ./usr/sbin/tessarc
-rw-r--r-- root/root ./usr/lib/systemd/system/tessarc.service
-rw-r--r-- root/root ./etc/dbus-1/system.d/com.ulvaro.tessarc.conf
-rw-r--r-- root/root ./usr/share/man/man8/tessarc.8.gz
-rw-r--r-- root/root ./usr/share/man/man5/tessarc.yaml.5.gz
drwxr-xr-x root/root ./etc/vyl/
drwxr-xr-x root/root ./var/lib/dels/
drwxr-x--- root/root ./var/log/vyl/
LIST
programs="tessarc gatewaysim quarnterm"
if [ -x "$build/bin/delsctl" ]; then
    programs="$programs delsctl"
    printf '%s\n' "-rwxr-xr-x root/root ./usr/bin/delsctl" \
        "-rw-r--r-- root/root ./usr/share/man/man1/delsctl.1.gz" >>"$work/expected"
fi
while read -r line; do
    expect "daemon package holds: $line" grep -qxF -e "$line" "$work/files"
done <"$work/expected"
for p in gatewaysim quarnterm; do
    expect "tools package holds $p" grep -qxF -e "-rwxr-xr-x root/root ./usr/bin/$p" "$work/tools-files"
    ! grep -q "/$p\$" "$work/files" || fail "$p is in the daemon package"
done
! grep -q 'tessarc$' "$work/tools-files" || fail "the daemon is in the tools package"
! grep -qv ' root/root ' "$work/files" "$work/tools-files" || fail "a file not owned by root"
! grep -q '/usr/local/\|/run/\|/var/lock' "$work/files" || fail "paths outside the package's own"
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/lib/systemd/system/tessarc.service |
    grep -qx 'ExecStart=/usr/sbin/tessarc --daemon' || fail "unit starts /usr/sbin/tessarc"

# ---- control: dependencies, conffiles, maintainer scripts -------------------------------------
depends=$(dpkg-deb -f "$deb" Depends)
for d in dbus libc6 libglibmm-2.4-1v5 liblog4cplus-2.0.5 liblua5.1-0 libyaml-cpp0.7; do
    echo "$depends" | grep -q "\(^\|, \)$d\( (\|,\|$\)" || fail "Depends lacks $d: $depends"
done
dpkg-deb -f "$tools" Depends | grep -q 'libc6' || fail "tools Depends found by dpkg-shlibdeps"
! echo "$depends $(dpkg-deb -f "$tools" Depends)" | grep -q -- '-dev\b' ||
    fail "a build package among the dependencies"
expect "version field" test "$(dpkg-deb -f "$deb" Version)" = "$version"
dpkg-deb -e "$deb" "$work/control"
expect "conffiles" test "$(cat "$work/control/conffiles")" = \
    "/etc/dbus-1/system.d/com.ulvaro.tessarc.conf"
for s in postinst prerm postrm; do
    expect "$s executable" test -x "$work/control/$s"
    expect "$s syntax" sh -n "$work/control/$s"
done

# ---- manual pages ------------------------------------------------------------------------------
dpkg-deb -x "$deb" "$work/unpacked"
for page in "$src"/packaging/man/*.[158] "$work"/unpacked/usr/share/man/man*/*.gz; do
    warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || fail "man -l $page"
    [ -z "$warnings" ] || fail "man -l $page: $warnings"
done

# ---- install, upgrade, remove, purge in a throwaway root --------------------------------------
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
# The root holds no libraries and no shell: scripts run outside it with DPKG_ROOT set, and the
# dependencies are the host's.
set -- dpkg --root="$root" --log="$work/dpkg.log" --force-script-chrootless --force-depends
if [ "$(id -u)" -ne 0 ]; then
    command -v fakeroot >/dev/null || { echo "needs root or fakeroot" >&2; exit 77; }
    set -- fakeroot "$@" --force-not-root
fi
status() {
    dpkg-query --admindir="$root/var/lib/dpkg" -W -f '${db:Status-Status} ${Version}' "$1"
}
wants=$root/etc/systemd/system/multi-user.target.wants/tessarc.service

"$@" --install "$deb" "$tools" >"$work/install.log" 2>&1 || { cat "$work/install.log" >&2; fail "install"; }
expect "installed" test "$(status tessarc)" = "installed $version"
for p in $programs; do
    bin=$(ls "$root"/usr/*bin/"$p")
    expect "$p --version" test "$("$bin" --version)" = "$p $version"
done
if command -v deb-systemd-helper >/dev/null; then
    expect "unit enabled on installation" test -L "$wants"
fi

# The example of tessarc.yaml(5) is the document the installed daemon writes on its first start
# (before it looks for a bus, so none is needed).
VYL_ROOT=$work/first QCF_SESSION_BUS=1 DBUS_SESSION_BUS_ADDRESS=unix:path=$work/no-bus \
    "$root/usr/sbin/tessarc" --daemon >/dev/null 2>&1 &
daemon=$!
written=$work/first/etc/vyl/tessarc.yaml
deadline=$(($(date +%s) + 60))
until grep -qx '\.\.\.' "$written" 2>/dev/null; do
    [ "$(date +%s)" -lt $deadline ] || fail "the daemon wrote no configuration"
    sleep 0.1
done
kill "$daemon"
wait "$daemon" || true
LC_ALL=C MANWIDTH=80 man -l "$work/unpacked/usr/share/man/man5/tessarc.yaml.5.gz" |
    sed -n '/^ *%YAML 1.1$/,/^ *\.\.\.$/s/^              //p' >"$work/example"
cmp -s "$work/example" "$written" || fail "tessarc.yaml(5) shows other defaults than the daemon's"

# What the gateway has made of it by the time an upgrade comes.
echo '<!-- adapted on this gateway -->' >>"$root/etc/dbus-1/system.d/com.ulvaro.tessarc.conf"
printf 'enabled: yes\n' >"$root/etc/vyl/tessarc.yaml"
printf 'SQLite format 3\0events' >"$root/var/lib/dels/dels.db"
: >"$root/var/lib/dels/dels.db.schema.lck"
echo 'started' >"$root/var/log/vyl/20261206tessarc.log"
echo 'other' >"$root/var/log/vyl/20261206critical.log"
mkdir "$work/kept"
cp "$root/etc/dbus-1/system.d/com.ulvaro.tessarc.conf" "$root/etc/vyl/tessarc.yaml" \
    "$root/var/lib/dels/dels.db" "$work/kept/"
kept() {
    cmp -s "$work/kept/com.ulvaro.tessarc.conf" "$root/etc/dbus-1/system.d/com.ulvaro.tessarc.conf" &&
        cmp -s "$work/kept/tessarc.yaml" "$root/etc/vyl/tessarc.yaml" &&
        cmp -s "$work/kept/dels.db" "$root/var/lib/dels/dels.db"
}

dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: $version+1/" "$work/next/DEBIAN/control"
dpkg-deb --root-owner-group -b "$work/next" "$work/next.deb" >/dev/null
"$@" --install "$work/next.deb" >"$work/upgrade.log" 2>&1 || { cat "$work/upgrade.log" >&2; fail "upgrade"; }
expect "upgraded" test "$(status tessarc)" = "installed $version+1"
expect "upgrade keeps the configuration, the bus policy and the event database" kept
if command -v deb-systemd-helper >/dev/null; then
    expect "unit still enabled after the upgrade" test -L "$wants"
fi

"$@" --remove tessarc >"$work/remove.log" 2>&1 || { cat "$work/remove.log" >&2; fail "remove"; }
expect "removed" test "$(status tessarc)" = "config-files $version+1"
expect "daemon gone" test ! -e "$root/usr/sbin/tessarc"
expect "removal keeps the configuration, the bus policy and the event database" kept
expect "removal keeps the log" test -f "$root/var/log/vyl/20261206tessarc.log"

"$@" --purge tessarc >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "purge"; }
for gone in etc/vyl etc/dbus-1/system.d/com.ulvaro.tessarc.conf var/lib/dels \
    var/log/vyl/20261206tessarc.log etc/systemd/system/multi-user.target.wants/tessarc.service \
    etc/systemd/system/tessarc.service; do
    expect "purge deletes /$gone" test ! -e "$root/$gone" -a ! -L "$root/$gone"
done
expect "purge keeps the platform's critical log" test -f "$root/var/log/vyl/20261206critical.log"

# ---- make install: pages and a unit naming its own prefix -------------------------------------
DESTDIR=$work/inst cmake --install "$build" --prefix /opt/t --component tessarc >/dev/null
expect "make install puts the pages" test -f "$work/inst/opt/t/share/man/man5/tessarc.yaml.5.gz"
grep -qx 'ExecStart=/opt/t/sbin/tessarc --daemon' "$work/inst/opt/t/lib/systemd/system/tessarc.service" ||
    fail "installed unit names /opt/t/sbin/tessarc"
echo "packages, install, upgrade, removal and purge as expected"
