#!/bin/bash
# make demo: the daemon against a simulated gateway on this machine, nothing installed, nothing
# outside a scratch folder touched. A private session bus stands in for the system bus, gatewaysim
# for the watchdog, WAN and GPS services, quarnterm for the terminal on a pseudo-terminal linked to
# the built-in port ttyS0 of a small fake sysfs tree, and socat for the server on 127.0.0.1.
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=${TESSARC_BIN:-$PWD/build/bin}
SECONDS_SHOWN=${DEMO_SECONDS:-12}
PORT=${DEMO_PORT:-$((40000 + RANDOM % 20000))}

for tool in dbus-daemon gdbus socat; do
    command -v $tool >/dev/null || { echo "demo: $tool missing (run scripts/install-deps.sh)"; exit 1; }
done

ROOT=$(mktemp -d /tmp/tessarc-demo-XXXXXX)
export VYL_ROOT=$ROOT VYL_OSV_NAME=/tessarc-demo-$$ QCF_SESSION_BUS=1
PIDS=()
BUS_PID=""

cleanup() {
    set +e
    # Daemon first (last started), so that it deregisters while its bus and watchdog still run.
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        kill -TERM "${PIDS[i]}" 2>/dev/null
        wait "${PIDS[i]}" 2>/dev/null
    done
    [ -n "$BUS_PID" ] && kill -TERM "$BUS_PID" 2>/dev/null && wait "$BUS_PID" 2>/dev/null
    rm -f "/dev/shm${VYL_OSV_NAME}"
    # The event database's configuration semaphore is named after the database's path.
    rm -f "/dev/shm/sem.config-count-$(echo "$ROOT/var/lib/dels/dels.db" | tr / -)"
    rm -rf "$ROOT"
    echo "== demo stopped, $ROOT removed"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

step() { echo; echo "== $*"; }

status() {
    for m in getCurrentStatus getDeviceName getServerIpAddr getServerPort getWANStatus \
        getGPSStatus getCntMsgsRcvdSerialRx getCntServerConnects getCntServerCharsTx; do
        printf '   %-24s %s\n' "$m" \
            "$(gdbus call --session -d com.ulvaro.tessarc -o /com/ulvaro/tessarc \
                -m com.ulvaro.tessarc.Status.$m 2>&1)"
    done
}

# Polls (a script may: nothing here is a test) until "$@" succeeds, at most $1 seconds.
waitFor() {
    local limit=$1
    shift
    for ((n = 0; n < limit * 5; n++)); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    return 1
}

currentStatusIs() {
    gdbus call --session -d com.ulvaro.tessarc -o /com/ulvaro/tessarc \
        -m com.ulvaro.tessarc.Status.getCurrentStatus 2>/dev/null | grep -q "$1"
}

step "scratch platform root $ROOT"
# A machine with one on-board UART, ttyS0, as sysfs shows it.
uart=$ROOT/sys/devices/pnp0/00:05
tty=$uart/tty/ttyS0
mkdir -p "$tty" "$ROOT/sys/class/tty" "$ROOT/sys/bus/pnp" "$ROOT/dev" "$ROOT/var/lock" "$ROOT/etc/vyl"
echo PNP0501 >"$uart/id"
ln -sr "$ROOT/sys/bus/pnp" "$uart/subsystem"
echo 4:64 >"$tty/dev"
printf 'MAJOR=4\nDEVNAME=ttyS0\n' >"$tty/uevent"
echo 4 >"$tty/type"
echo 0 >"$tty/line"
echo 0x3F8 >"$tty/port"
ln -sr "$ROOT/sys/class/tty" "$tty/subsystem"
ln -sr "$uart" "$tty/device"
ln -sr "$tty" "$ROOT/sys/class/tty/ttyS0"

cat >"$ROOT/etc/vyl/tessarc.yaml" <<YAML
%YAML 1.1
---
enabled: yes
gatesTriggers:
  vpnUp:
    retval: osv.vpn.connected()
  wanUp:
    retval: osv.wan.active ~= nil
networkSettings:
  gate: wanUp
  maxBufBytesToSvr: 2097152
  maxBufBytesScanAvi: 32768
  overrideServerIPAddr: 127.0.0.1
  overrideServerTCPPort: '$PORT'
serialSettings:
  device:
    - bus: legacy
      devlevel: bus
      selector:
        DPI:
          - 0x01000000
      whitelist:
        - builtin: tty
  lineSettings:
    speed: 57600
  retryTimeout: 10
  inactivityTimeout: 60
...
YAML

cat >"$ROOT/gps.nmea" <<'NMEA'
$GPRMC,120000.00,A,5230.1200,N,01323.4500,E,12.5,87.0,060126,,,A*6B
$GPRMC,120001.00,A,5230.1210,N,01323.4560,E,12.6,87.1,060126,,,A*6C
$GPRMC,120002.00,A,5230.1220,N,01323.4620,E,12.4,87.3,060126,,,A*63
NMEA

step "private bus"
dbus-daemon --session --nofork --nopidfile --print-address=1 >"$ROOT/bus.address" &
BUS_PID=$!
waitFor 10 test -s "$ROOT/bus.address"
export DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$ROOT/bus.address")
echo "   $DBUS_SESSION_BUS_ADDRESS"

step "server on 127.0.0.1:$PORT (socat), terminal on a pseudo-terminal (quarnterm), gateway (gatewaysim)"
# Output goes through process substitutions, so that $! is the program itself, not a filter.
socat -u "TCP-LISTEN:$PORT,bind=127.0.0.1,reuseaddr,fork" - > >(sed -u -e 's/\r$//' -e 's/^/   server   <- /') &
PIDS+=($!)
"$BIN/quarnterm" "$ROOT/dev/ttyS0" "127.0.0.1:$PORT" 1 > >(sed -u 's/^/   /') &
PIDS+=($!)
"$BIN/gatewaysim" watchdog > >(sed -u 's/^/   gateway  : /') &
PIDS+=($!)
"$BIN/gatewaysim" gps-file "$ROOT/gps.nmea" 1 --loop &
PIDS+=($!)
waitFor 10 test -L "$ROOT/dev/ttyS0"

step "daemon: build/bin/tessarc --daemon (WAN still down)"
"$BIN/tessarc" --daemon &
PIDS+=($!)
waitFor 15 currentStatusIs . || { echo "demo: the daemon did not come up"; exit 1; }
waitFor 30 currentStatusIs "Network connection not available" || true
status

step "WAN comes up: gatewaysim wan-up 1"
"$BIN/gatewaysim" wan-up 1
sleep "$SECONDS_SHOWN"

step "status over D-Bus (gdbus call --session -d com.ulvaro.tessarc ...)"
status

step "WAN goes down: gatewaysim wan-down 1"
"$BIN/gatewaysim" wan-down 1
sleep 2
status

step "log lines of the daemon ($VYL_ROOT/var/log/vyl/)"
grep -h "Tessarc: \(Network\|Wan\|QUARN\|acquired\|Connect\)" "$ROOT"/var/log/vyl/*tessarc.log | head -20 | sed 's/^/   /' || true

step "events the run stored (build/bin/delsctl list): device lock 284, WAN up 514 and down 515"
# The daemon commits its queued events within moments of sending them.
waitFor 5 sh -c '"$0" list | grep -q "messageId=284"' "$BIN/delsctl" || true
"$BIN/delsctl" list | sed 's/^/   /'
