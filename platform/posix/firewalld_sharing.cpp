// firewalld offered as the connection-sharing service: connections are the announced
// interfaces in their zones, port mappings are runtime rich rules (see firewalld.h).
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <mutex>

#include "platform/posix/firewalld.h"
#include "platform/sockets.h"

namespace firewalld {

namespace {

std::atomic<long> g_live_objects{0};

// Reference counting as COM does it: created with one reference, deleted with the last.
template <class Interface>
class Counted : public Interface {
public:
    uint32_t AddRef() override { return ++m_references; }
    uint32_t Release() override {
        const uint32_t left = --m_references;
        if (left == 0) delete this;
        return left;
    }
    FwResult QueryInterface(FwInterface, FwObject** out) override {
        *out = nullptr;
        return FW_E_NOINTERFACE;
    }

protected:
    Counted() { ++g_live_objects; }
    ~Counted() override { --g_live_objects; }

private:
    uint32_t m_references = 1;
};

constexpr uint32_t NCCF_NONE = 0;
// A plain LAN connection, as the platform calls one (neither of the shared-access hosts).
constexpr int32_t NCM_LAN = 3;
constexpr uint8_t PROTOCOL_UDP = 17;
constexpr FwResult FW_E_ACCESSDENIED = static_cast<int32_t>(0x80070005u);
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
    void RemoveAllOnExit();

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

// Removes one rule over a connection of its own; S_OK also when firewalld had dropped it
// already or no longer runs (it takes its runtime rules along when it stops). *refused
// tells a refusal from other failures.
FwResult RemoveRule(const AddedRule& rule, bool interactive, uint64_t timeout_us, bool* refused) {
    *refused = false;
    Bus bus;
    if (!bus.Open()) return FW_E_FAIL;
    if (!bus.NameHasOwner(BUS_NAME)) return FW_S_OK;
    const CallError e = bus.RemoveRichRule(rule.zone, rule.rule, interactive, timeout_us);
    if (!e.Failed() || e.Is("NOT_ENABLED")) return FW_S_OK;
    *refused = IsRefusal(e);
    return FW_E_FAIL;
}

void RuleRegistry::RemoveAllOnExit() {
    bool refused = false;
    for (const AddedRule& rule : Snapshot()) {
        if (!refused) (void)RemoveRule(rule, false, QUERY_TIMEOUT_US, &refused);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rules.clear();
}

// One opening's connection to the bus. Once the user has refused (or let the password
// prompt time out), no further rule is asked for: one answer is enough.
struct Session {
    Bus bus;
    bool refused = false;
    // The same for the removal of the rules this opening added, which happens later, each
    // over a connection of its own.
    std::shared_ptr<bool> removal_refused = std::make_shared<bool>(false);
};

// One announced interface as a connection: the object of an enumerated item and, asked for
// CONNECTION, the connection itself. Its zone is looked up once, by the manager.
class Link final : public Counted<FwConnection> {
public:
    explicit Link(LinkAddress address) : m_address(std::move(address)) {}
    FwResult QueryInterface(FwInterface iid, FwObject** out) override {
        *out = nullptr;
        if (iid != FwInterface::CONNECTION) return FW_E_NOINTERFACE;
        AddRef();
        *out = this;
        return FW_S_OK;
    }
    const LinkAddress& Address() const { return m_address; }

    bool zone_looked_up = false;
    bool zone_known = false;
    std::string zone;

private:
    LinkAddress m_address;
};

// The enumeration of the announced interfaces; also its own _NewEnum object.
class LinkEnumerator final : public Counted<FwEnumVariant> {
public:
    explicit LinkEnumerator(const std::vector<LinkAddress>& links) : m_links(links) {}
    FwResult QueryInterface(FwInterface iid, FwObject** out) override {
        *out = nullptr;
        if (iid != FwInterface::ENUM_VARIANT) return FW_E_NOINTERFACE;
        AddRef();
        *out = this;
        return FW_S_OK;
    }
    FwResult Next(FwVariant* item) override {
        if (m_next >= m_links.size()) return FW_S_FALSE;
        item->type = FwVariantType::UNKNOWN;
        item->object = new Link(m_links[m_next++]);
        return FW_S_OK;
    }

private:
    std::vector<LinkAddress> m_links;
    std::size_t m_next = 0;
};

class LinkCollection final : public Counted<FwCollection> {
public:
    explicit LinkCollection(std::vector<LinkAddress> links) : m_links(std::move(links)) {}
    FwResult GetNewEnum(FwObject** out) override {
        *out = new LinkEnumerator(m_links);
        return FW_S_OK;
    }

private:
    std::vector<LinkAddress> m_links;
};

class LinkProps final : public Counted<FwConnectionProps> {
public:
    explicit LinkProps(uint32_t characteristics) : m_characteristics(characteristics) {}
    FwResult GetCharacteristics(uint32_t* flags) override {
        *flags = m_characteristics;
        return FW_S_OK;
    }
    FwResult GetMediaType(int32_t* media_type) override {
        *media_type = NCM_LAN;
        return FW_S_OK;
    }

private:
    uint32_t m_characteristics;
};

// One rule this process added. Deleting removes exactly it, once.
class ZoneRule final : public Counted<FwPortMapping> {
public:
    ZoneRule(AddedRule rule, std::shared_ptr<bool> removal_refused)
        : m_rule(std::move(rule)), m_removal_refused(std::move(removal_refused)) {
        Registry().Add(m_rule);
    }
    // A runtime rule is in force from the moment it is added.
    FwResult Enable() override { return FW_S_OK; }
    FwResult Delete() override {
        if (m_deleted) return FW_S_FALSE;
        m_deleted = true;
        // Whatever the answer, this rule is not tried again: a refusal at the closing would
        // only be asked again at exit.
        Registry().Forget(m_rule);
        if (*m_removal_refused) return FW_E_ACCESSDENIED;
        bool refused = false;
        const FwResult result = RemoveRule(m_rule, true, CHANGE_TIMEOUT_US, &refused);
        if (refused) *m_removal_refused = true;
        return result;
    }

private:
    AddedRule m_rule;
    std::shared_ptr<bool> m_removal_refused;
    bool m_deleted = false;
};

class ZoneConfiguration final : public Counted<FwSharingConfiguration> {
public:
    ZoneConfiguration(std::shared_ptr<Session> session, std::string zone, LinkAddress link)
        : m_session(std::move(session)), m_zone(std::move(zone)), m_link(std::move(link)) {}

    FwResult GetInternetFirewallEnabled(bool* enabled) override {
        std::string target;
        const CallError e = m_session->bus.GetZoneTarget(m_zone, &target);
        // Unknown (an older firewalld without the call): the adding decides.
        *enabled = e.Failed() || target != TARGET_ACCEPT;
        return FW_S_OK;
    }

    FwResult AddPortMapping(const FwText&, uint8_t protocol, uint16_t external_port, uint16_t internal_port,
                            uint32_t, const FwText&, int32_t, FwPortMapping** out) override {
        *out = nullptr;
        const char* protocol_name = protocol == FW_PROTOCOL_TCP ? "tcp"
                                    : protocol == PROTOCOL_UDP  ? "udp"
                                                                : nullptr;
        // A rule accepts a port; it cannot send it elsewhere.
        if (protocol_name == nullptr || external_port == 0 || external_port != internal_port) {
            return FW_E_INVALIDARG;
        }
        // Open already (a port or a range such as 1025-65535 in the zone): nothing to add,
        // nothing to ask the user.
        Bus& bus = m_session->bus;
        bool open = false;
        if (bus.QueryPort(m_zone, external_port, protocol_name, &open).Failed()) return FW_E_FAIL;
        if (open) return FW_S_FALSE;
        AddedRule rule{m_zone, SubnetRule(m_link.address, m_link.netmask, external_port, protocol_name)};
        // The same rule there before (the user's own): it is not ours to remove.
        bool present = false;
        if (bus.QueryRichRule(rule.zone, rule.rule, &present).Failed()) return FW_E_FAIL;
        if (present) return FW_S_FALSE;
        if (m_session->refused) return FW_E_ACCESSDENIED;
        const CallError e = bus.AddRichRule(rule.zone, rule.rule, true, CHANGE_TIMEOUT_US);
        if (e.Failed()) {
            if (IsRefusal(e)) m_session->refused = true;
            return m_session->refused ? FW_E_ACCESSDENIED : FW_E_FAIL;
        }
        *out = new ZoneRule(std::move(rule), m_session->removal_refused);
        return FW_S_OK;
    }

private:
    std::shared_ptr<Session> m_session;
    std::string m_zone;
    LinkAddress m_link;
};

class Manager final : public Counted<FwSharingManager> {
public:
    Manager(std::shared_ptr<Session> session, std::vector<LinkAddress> links)
        : m_session(std::move(session)), m_links(std::move(links)) {}

    FwResult GetEnumEveryConnection(FwCollection** out) override {
        *out = new LinkCollection(m_links);
        return FW_S_OK;
    }

    // Firewalled when the interface's zone is known; a link whose zone cannot be asked
    // (refused, firewalld gone) is not touched.
    FwResult GetNetConnectionProps(FwConnection* connection, FwConnectionProps** out) override {
        *out = nullptr;
        Link* link = dynamic_cast<Link*>(connection);
        if (link == nullptr) return FW_E_INVALIDARG;
        LookUpZone(link);
        *out = new LinkProps(link->zone_known ? FW_NCCF_FIREWALLED : NCCF_NONE);
        return FW_S_OK;
    }

    FwResult GetSharingConfigurationForConnection(FwConnection* connection,
                                                  FwSharingConfiguration** out) override {
        *out = nullptr;
        Link* link = dynamic_cast<Link*>(connection);
        if (link == nullptr) return FW_E_INVALIDARG;
        LookUpZone(link);
        if (!link->zone_known) return FW_E_FAIL;
        *out = new ZoneConfiguration(m_session, link->zone, link->Address());
        return FW_S_OK;
    }

private:
    void LookUpZone(Link* link) {
        if (link->zone_looked_up) return;
        link->zone_looked_up = true;
        std::string zone;
        if (m_session->bus.GetZoneOfInterface(link->Address().name, &zone).Failed()) return;
        // An interface bound to no zone is in the default zone.
        if (zone.empty() && m_session->bus.GetDefaultZone(&zone).Failed()) return;
        if (zone.empty()) return;
        link->zone = zone;
        link->zone_known = true;
    }

    std::shared_ptr<Session> m_session;
    std::vector<LinkAddress> m_links;
};

}  // namespace

std::vector<LinkAddress> AnnouncedLinks() {
    std::vector<LinkAddress> links(MAX_NET_INTERFACES);
    const int n = ListAnnounceInterfaces(links.data(), MAX_NET_INTERFACES);
    links.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return links;
}

std::string SubnetRule(uint32_t address, uint32_t netmask, uint16_t port, const char* protocol) {
    // The prefix is the run of leading one bits; whatever follows a gap is ignored.
    const uint32_t mask = NetToHost32(netmask);
    int prefix = 0;
    while (prefix < 32 && (mask & (0x80000000u >> prefix)) != 0) ++prefix;
    const uint32_t prefix_mask = prefix == 0 ? 0 : HostToNet32(0xFFFFFFFFu << (32 - prefix));
    char network[16];
    FormatIPv4(address & prefix_mask, network);
    char rule[160];
    std::snprintf(rule, sizeof rule,
                  "rule family=\"ipv4\" source address=\"%s/%d\" port port=\"%u\" protocol=\"%s\" accept",
                  network, prefix, static_cast<unsigned>(port), protocol);
    return rule;
}

FwResult CreateSharingManager(FwSharingManager** out) {
    *out = nullptr;
    std::vector<LinkAddress> links = AnnouncedLinks();
    if (links.empty()) return FW_E_CLASSNOTREG;
    auto session = std::make_shared<Session>();
    // No system bus, or firewalld not running: nothing at all is called.
    if (!session->bus.Open() || !session->bus.NameHasOwner(BUS_NAME)) return FW_E_CLASSNOTREG;
    *out = new Manager(std::move(session), std::move(links));
    return FW_S_OK;
}

long LiveObjects() { return g_live_objects.load(); }

std::vector<AddedRule> RulesHeld() { return Registry().Snapshot(); }

}  // namespace firewalld
