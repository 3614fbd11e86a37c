#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need, when missing.
# Idempotent and quiet when everything is present.
set -e
PKGS="build-essential cmake pkg-config make
clang libclang-rt-14-dev clang-format
libglib2.0-dev libglibmm-2.4-dev libsigc++-2.0-dev
liblog4cplus-dev libsqlite3-dev liblua5.1-0-dev libyaml-cpp-dev libyaml-dev
libgtest-dev libgmock-dev libbenchmark-dev
dbus dbus-daemon dbus-bin socat procps
dpkg-dev file fakeroot man-db"
missing=""
for p in $PKGS; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q >/dev/null
$SUDO apt-get install -y -q --no-install-recommends $missing >/dev/null
