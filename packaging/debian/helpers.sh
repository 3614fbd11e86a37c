# Shared by the maintainer scripts. They work without a running systemd (a container, an image
# built with dpkg --root): every path goes under DPKG_ROOT, and only a booted system with its
# own root is asked to reload or to start and stop anything.
UNIT=tessarc.service

booted() {
    [ -z "${DPKG_ROOT:-}" ] && [ -d /run/systemd/system ]
}

have() {
    command -v "$1" >/dev/null 2>&1
}

# The system bus reads the policy files again (it would on its own, a moment later).
reload_bus_policy() {
    if [ -z "${DPKG_ROOT:-}" ] && [ -S /run/dbus/system_bus_socket ] && have dbus-send; then
        dbus-send --system --print-reply --type=method_call --dest=org.freedesktop.DBus \
            /org/freedesktop/DBus org.freedesktop.DBus.ReloadConfig >/dev/null 2>&1 || true
    fi
}

# Runs deb-systemd-helper when there is one (there is none once its package has gone).
unit_state() {
    if have deb-systemd-helper; then
        deb-systemd-helper "$@" "$UNIT" >/dev/null || true
    fi
}

# start, stop or try-restart the unit on a booted system, honouring policy-rc.d.
unit_action() {
    if booted; then
        systemctl --system daemon-reload >/dev/null 2>&1 || true
        if have deb-systemd-invoke; then
            deb-systemd-invoke "$1" "$UNIT" >/dev/null || true
        else
            systemctl "$1" "$UNIT" >/dev/null 2>&1 || true
        fi
    fi
}
