# Sourced by the benchmark scripts inside the namespace they made (unshare -n):
#   veth_pair SCRIPT HOST PEER
# stops unless the namespace is fresh (no eth0), then brings loopback up and
# makes the veth pair HOST-PEER, both ends up, without IPv6.
veth_pair() {
    if ip link show eth0 >/dev/null 2>&1; then
        echo "$1: eth0 is visible, so this is not a fresh namespace; stopping" >&2
        exit 1
    fi
    ip link set lo up
    ip link add "$2" type veth peer name "$3"
    local dev
    for dev in "$2" "$3"; do
        sysctl -qw "net.ipv6.conf.$dev.disable_ipv6=1" 2>/dev/null || true
        ip link set "$dev" up
    done
}
