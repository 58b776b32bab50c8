# System-wide services for the tests: the system D-Bus and avahi-daemon on the loopback interface only.
# Sourced by scripts/test.sh (which runs as root in CI); nothing here may stop the test run: a service
# that cannot be started makes the tests that need it skip.

TONEWHARF_AVAHI_CONFIG=/run/tonewharf-test-avahi.conf
# The pid of the avahi-daemon started here; the advertisement tests run only against that daemon.
TONEWHARF_AVAHI_MARKER=/run/tonewharf-test-avahi.pid

system_bus_answers() {
    dbus-send --system --dest=org.freedesktop.DBus --print-reply / org.freedesktop.DBus.GetId >/dev/null 2>&1
}

start_system_dbus() {
    if [ -S /run/dbus/system_bus_socket ] && system_bus_answers; then
        return 0
    fi
    # A fresh container has no machine id until something makes one.
    dbus-uuidgen --ensure >/dev/null 2>&1 || true
    mkdir -p /run/dbus
    rm -f /run/dbus/pid
    if ! dbus-daemon --system --fork; then
        echo "the system D-Bus did not start; tests that need it will skip" >&2
        return 0
    fi
    for _ in $(seq 50); do
        system_bus_answers && return 0
        sleep 0.1
    done
    echo "the system D-Bus does not answer; tests that need it will skip" >&2
}

avahi_daemon_pid() {
    local pid
    pid=$(cat /run/avahi-daemon/pid 2>/dev/null) || return 1
    # A daemon that died but was never reaped still has a /proc entry: it is not running.
    [ -n "$pid" ] && [ -r "/proc/$pid/status" ] && ! grep -q '^State:[[:space:]]*Z' "/proc/$pid/status" &&
        echo "$pid"
}

# 2 is AVAHI_SERVER_RUNNING: the host name is established and services can be registered.
avahi_daemon_running() {
    dbus-send --system --dest=org.freedesktop.Avahi --print-reply / org.freedesktop.Avahi.Server.GetState \
        2>/dev/null | grep -q 'int32 2'
}

start_avahi_loopback() {
    # Only the loopback interface, IPv4 only, no wide-area (unicast DNS) lookups, no reflector:
    # nothing is sent to any other network.
    cat >"$TONEWHARF_AVAHI_CONFIG" <<'CONF'
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
enable-reflector=no
[rlimits]
CONF
    # Multicast DNS needs the multicast flag, which loopback lacks by default.
    if ! ip link set lo multicast on 2>/dev/null; then
        echo "cannot set the multicast flag on lo; advertisement tests will skip" >&2
    fi

    local pid
    if pid=$(avahi_daemon_pid); then
        if [ "$pid" != "$(cat "$TONEWHARF_AVAHI_MARKER" 2>/dev/null)" ]; then
            # The computer's own daemon serves the real network: leave it alone, and the tests skip.
            echo "an avahi-daemon not started for the tests is running; advertisement tests will skip" >&2
            return 0
        fi
        if avahi_daemon_running; then
            return 0
        fi
        # Ours, but lost its bus (the bus was restarted): start it again.
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 50); do
            [ -d "/proc/$pid" ] || break
            sleep 0.1
        done
    fi
    rm -f "$TONEWHARF_AVAHI_MARKER"

    # The package creates the avahi user the daemon drops to; the daemon makes /run/avahi-daemon itself,
    # but an old stale one must belong to that user.
    mkdir -p /run/avahi-daemon
    chown avahi:avahi /run/avahi-daemon 2>/dev/null || true
    if ! avahi-daemon --daemonize --file="$TONEWHARF_AVAHI_CONFIG" 2>/dev/null; then
        # Containers without the right to chroot or change user can still run it as root.
        if ! avahi-daemon --daemonize --no-drop-root --no-chroot --file="$TONEWHARF_AVAHI_CONFIG"; then
            echo "avahi-daemon did not start; advertisement tests will skip" >&2
            return 0
        fi
    fi
    for _ in $(seq 100); do
        if avahi_daemon_running && pid=$(avahi_daemon_pid); then
            echo "$pid" >"$TONEWHARF_AVAHI_MARKER"
            return 0
        fi
        sleep 0.1
    done
    echo "avahi-daemon does not answer on the system D-Bus; advertisement tests will skip" >&2
}

start_system_services() {
    start_system_dbus
    start_avahi_loopback
}
