# shellcheck shell=bash
# setup_bridge NAME ADDRESS/PREFIX: loopback up; a bridge with that address, up
setup_bridge() { ip link set lo up && ip link add "$1" type bridge && ip addr add "$2" dev "$1" && ip link set "$1" up; }
