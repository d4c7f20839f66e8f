# Two test hosts joined by a cable: network namespaces of their own with a veth pair between
# them, for the end-to-end scripts. Sourced, not run.
#
# orvane_make_test_hosts NS_A IF_A ADDR_A NS_B IF_B ADDR_B: makes both namespaces, the pair
# (IF_A in NS_A, IF_B in NS_B) and a /24 address with its broadcast address on each side, and
# brings everything up, loopback included. Returns 77 with the reason in ORVANE_HOSTS_WHY when
# this machine cannot have namespaces or the pair (not root, a chroot whose / is not a mount
# point), 1 when anything after that fails. The caller removes the namespaces
# (ip netns del) on every way out, also after a failure here.
orvane_make_test_hosts() {
    local ns_a=$1 if_a=$2 addr_a=$3 ns_b=$4 if_b=$5 addr_b=$6 out
    ORVANE_HOSTS_WHY=""
    if ! out=$(ip netns add "$ns_a" 2>&1); then
        ORVANE_HOSTS_WHY="ip netns add failed ($out): no network namespaces here"
        return 77
    fi
    ip netns add "$ns_b" || return 1
    # Made inside the namespaces, so that not even for a moment does the pair belong to the
    # namespace the script runs in.
    if ! out=$(ip -n "$ns_a" link add "$if_a" type veth peer name "$if_b" netns "$ns_b" 2>&1); then
        ORVANE_HOSTS_WHY="no veth pair could be made ($out)"
        return 77
    fi
    ip -n "$ns_a" link set lo up &&
        ip -n "$ns_a" addr add "$addr_a/24" brd + dev "$if_a" &&
        ip -n "$ns_a" link set "$if_a" up &&
        ip -n "$ns_b" link set lo up &&
        ip -n "$ns_b" addr add "$addr_b/24" brd + dev "$if_b" &&
        ip -n "$ns_b" link set "$if_b" up || return 1
}
