#include "firewall/firewalld_opening.h"

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/posix/firewalld.h"
#include "platform/sockets.h"
#include "run/run_state.h"

CFirewallOpening* NewSystemFirewallOpening() { return new CFirewalldOpening(); }

namespace firewalld {

namespace {

// A zone with this target lets everything in.
constexpr const char* TARGET_ACCEPT = "ACCEPT";

// The rules added and not yet removed. A process that ends through exit() without its
// window's teardown (the display connection lost, for one) removes them on the way out.
class RuleRegistry {
public:
    ~RuleRegistry() { RemoveAllOnExit(); }

    void Add(const AddedRule& rule) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rules.push_back(rule);
    }
    void Forget(const AddedRule& rule) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_rules.begin(); it != m_rules.end(); ++it) {
            if (it->zone == rule.zone && it->rule == rule.rule) {
                m_rules.erase(it);
                return;
            }
        }
    }
    std::vector<AddedRule> Snapshot() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_rules;
    }

private:
    // A process on its way out does not wait for a password: without the authorization
    // polkit still keeps from the adding, the rule stays until firewalld reloads.
    void RemoveAllOnExit() {
        bool refused = false;
        for (const AddedRule& rule : Snapshot()) {
            if (!refused) (void)RemoveRule(rule, false, QUERY_TIMEOUT_US, &refused);
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_rules.clear();
    }

    std::mutex m_mutex;
    std::vector<AddedRule> m_rules;
};

RuleRegistry& Registry() {
    static RuleRegistry registry;
    return registry;
}

// The user said no (or did not answer the password prompt in time).
bool IsRefusal(const CallError& e) {
    return e.name == "org.fedoraproject.FirewallD1.NotAuthorizedException" ||
           e.name == "org.freedesktop.DBus.Error.AccessDenied" ||
           e.name == "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired" ||
           e.name == "org.freedesktop.DBus.Error.NoReply" || e.code == -ETIMEDOUT;
}

// The zone the interface is in: the one it is bound to, else the default zone. false when
// firewalld cannot tell (refused, gone): that interface is left alone.
bool ZoneOf(Bus& bus, const NetInterface& link, std::string* zone) {
    if (bus.GetZoneOfInterface(link.name, zone).Failed()) return false;
    if (zone->empty() && bus.GetDefaultZone(zone).Failed()) return false;
    return !zone->empty();
}

// Whether the zone still keeps the port out for rule's subnet. false also when firewalld
// cannot tell: a rule is added only where it is known to be missing.
bool RuleWanted(Bus& bus, const AddedRule& rule, uint16_t port) {
    std::string target;
    // An unknown target (an older firewalld without the call) leaves it to the queries.
    if (!bus.GetZoneTarget(rule.zone, &target).Failed() && target == TARGET_ACCEPT) return false;
    bool open = false;
    if (bus.QueryPort(rule.zone, port, "tcp", &open).Failed() || open) return false;
    bool present = false;
    return !bus.QueryRichRule(rule.zone, rule.rule, &present).Failed() && !present;
}

}  // namespace

std::string SubnetRule(uint32_t address, uint32_t netmask, uint16_t port) {
    // The prefix is the run of leading one bits; whatever follows a gap is ignored.
    const uint32_t mask = NetToHost32(netmask);
    int prefix = 0;
    while (prefix < 32 && (mask & (0x80000000u >> prefix)) != 0) ++prefix;
    const uint32_t prefix_mask = prefix == 0 ? 0 : HostToNet32(0xFFFFFFFFu << (32 - prefix));
    char network[16];
    FormatIPv4(address & prefix_mask, network);
    char rule[160];
    std::snprintf(rule, sizeof rule,
                  "rule family=\"ipv4\" source address=\"%s/%d\" port port=\"%u\" protocol=\"tcp\" accept",
                  network, prefix, static_cast<unsigned>(port));
    return rule;
}

bool RemoveRule(const AddedRule& rule, bool interactive, uint64_t timeout_us, bool* refused) {
    *refused = false;
    Bus bus;
    if (!bus.Open()) return false;
    if (!bus.NameHasOwner(BUS_NAME)) return true;
    const CallError e = bus.RemoveRichRule(rule.zone, rule.rule, interactive, timeout_us);
    if (!e.Failed() || e.Is("NOT_ENABLED")) return true;
    *refused = IsRefusal(e);
    return false;
}

std::vector<AddedRule> RulesHeld() { return Registry().Snapshot(); }

}  // namespace firewalld

void CFirewalldOpening::Open() {
    using namespace firewalld;
    // Recorded whatever the following steps achieve, as on Windows.
    g_firewall_method = FIREWALL_FIREWALLD;
    m_port = PortToOpen();

    std::vector<NetInterface> links(MAX_NET_INTERFACES);
    const int count = ListAnnounceInterfaces(links.data(), MAX_NET_INTERFACES);
    if (count <= 0) return;
    links.resize(static_cast<std::size_t>(count));
    Bus bus;
    // No system bus, or firewalld not running: nothing at all is called.
    if (!bus.Open() || !bus.NameHasOwner(BUS_NAME)) return;

    // Once the user has refused (or let the password prompt time out), no further rule is
    // asked for: one answer is enough.
    bool refused = false;
    for (const NetInterface& link : links) {
        AddedRule rule;
        if (!ZoneOf(bus, link, &rule.zone)) continue;
        rule.rule = SubnetRule(link.address, link.netmask, m_port);
        if (!RuleWanted(bus, rule, m_port) || refused) continue;
        const CallError e = bus.AddRichRule(rule.zone, rule.rule, true, CHANGE_TIMEOUT_US);
        if (e.Failed()) {
            refused = IsRefusal(e);
            continue;
        }
        Registry().Add(rule);
        m_rules.push_back(std::move(rule));
    }
}

void CFirewalldOpening::Close() {
    using namespace firewalld;
    // Whatever the answer, a rule is not tried again, neither here nor at exit: a refusal now
    // would only be asked again. After one refusal nothing more is asked.
    bool refused = false;
    for (const AddedRule& rule : m_rules) {
        Registry().Forget(rule);
        if (!refused) (void)RemoveRule(rule, true, CHANGE_TIMEOUT_US, &refused);
    }
    m_rules.clear();
}
