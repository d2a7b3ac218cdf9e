# trelk_net.sh TRELK CASE: the real trelk with a "net" object, in namespaces of the test's own.
. "$(dirname "$0")/../trelk/lib.sh"
case_name=$2
out=$ROOT/out
setup_bridge br-trelk 10.77.0.1/24
make_root "$ROOT"
mkdir -p "$out"
cat >"$ROOT/inner.sh" <<'EOF2'
ip -o link show >/out/link && ip -o -4 addr show >/out/addr && ip route show >/out/route
ping -c 1 -W 3 10.77.0.1 >/out/ping 2>&1 && echo reached >/out/reached
i=0
while [ ! -e /out/go ] && [ $i -lt 300 ]; do usleep 100000; i=$((i + 1)); done
EOF2

net_conf() {
    write_conf "$CONF" "$ROOT" "${4:-$PIDFILE}" "" ", \"net\": {\"name\": \"$1\", \"link\": \"$2\",
        \"ipv4\": \"$3\", \"gateway\": \"10.77.0.1\"}"
}

# no_veth: the veths left once the kernel has torn the container's namespace down.
no_veth() { for i in $(seq 50); do [ -z "$(veths)" ] && return 0; sleep 0.1; done; veths; }

# device NAME ADDRESS/PREFIX [KERNEL_NAME]: host end on the bridge, up, MTU 1500; in
# the container loopback and the device up, the address, the default route, the gateway reached.
device() {
    net_conf "$1" br-trelk "$2"
    start "$CONF" /bin/sh /inner.sh
    wait_for "$out/reached" || wait_for "$out/ping" || true
    expect "host end" "veth UP 1500" "$(ip -o link show master br-trelk type veth |
        sed -E 's/^[0-9]+: (veth)[0-9A-Z]{6}@[^:]*: <[^>]*,(UP)[,>].* mtu ([0-9]+) .*/\1 \2 \3/')"
    touch "$out/go"
    reap
    expect "status, veths left" "0:" "$rc:$(no_veth)"
    local dev=${3:-$1}
    expect "loopback, $dev up, address, default route, gateway reached" "yes yes yes yes reached" \
        "$(yesno grep -qE '^1: lo: <[^>]*\bUP\b' "$out/link") $(yesno grep -qE "^[0-9]+: $dev@if[0-9]+: <[^>]*\bUP\b" "$out/link") $(
        yesno grep -qE "$dev +inet $2 " "$out/addr") $(yesno grep -q "^default via 10.77.0.1 dev $dev" "$out/route") $(cat "$out/reached" 2>/dev/null)"
}

# refused NAME LINK IPV4 [PIDFILE]: fails before COMMAND runs, leaving no veth.
refused() {
    net_conf "$@"
    run "$CONF" /bin/sh /inner.sh
    expect "$case_name is refused, veths left, COMMAND ran" "1::no" "$rc:$(no_veth):$(yesno test -e "$out/link")"
}

case $case_name in
named-device) device ceth0 10.77.0.2/24 ;;
kernel-name) device "" 10.77.0.3/24 eth0 ;;
gateway-outside-subnet)
    device ceth0 10.77.0.5/30
    expect "link route to the gateway" yes "$(yesno grep -qE '^10.77.0.1 dev ceth0 +scope link' "$out/route")"
    ;;
missing-bridge) refused ceth0 nosuchbr0 10.77.0.2/24 ;;
# A name one byte too long must not reach the bridge its first 15 bytes name.
long-bridge) ip link add 0123456789abcde type bridge && refused ceth0 0123456789abcdef 10.77.0.2/24 ;;
long-name) refused 0123456789abcdef br-trelk 10.77.0.2/24 ;;
# The pid file cannot be written: after the pair is made, before the container has it.
launcher-failure) touch "$T/plain" && refused ceth0 br-trelk 10.77.0.2/24 "$T/plain/c.pid" ;;
*) expect "a known case" "" "$case_name" ;;
esac
finish
