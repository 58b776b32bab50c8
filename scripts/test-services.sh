# System-wide services for the tests: the system D-Bus and avahi-daemon on the loopback interface only.

start_system_dbus() {
    if [ -S /run/dbus/system_bus_socket ] && dbus-send --system --dest=org.freedesktop.DBus --print-reply \
        / org.freedesktop.DBus.GetId >/dev/null 2>&1; then
        return 0
    fi
    mkdir -p /run/dbus
    rm -f /run/dbus/pid
    dbus-daemon --system --fork
}

start_avahi_loopback() {
    # Only the loopback interface, IPv4 only: nothing is announced to any other network.
    local config=/run/tonewharf-test-avahi.conf
    cat >"$config" <<'CONF'
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
[rlimits]
CONF
    # Multicast DNS needs the multicast flag, which loopback lacks by default.
    ip link set lo multicast on 2>/dev/null || true
    avahi-daemon --kill >/dev/null 2>&1 || true
    avahi-daemon --daemonize --no-drop-root --file="$config" || echo "avahi-daemon did not start; advertisement tests will skip"
}

start_system_services() {
    start_system_dbus
    start_avahi_loopback
}
