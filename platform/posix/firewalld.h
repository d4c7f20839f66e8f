// The Linux firewall the updater opens while it runs: firewalld, reached over the system bus
// (org.fedoraproject.FirewallD1) with sd-bus. It is offered to the firewall core as the
// connection-sharing service of firewall/firewall_services.h, so that the opening, the port
// it maps and the undoing of exactly what was added stay the core's one logic:
//
// - the sharing manager exists only when the system bus is there and firewalld owns its
//   name on it right now: the name is never called while it has no owner, so that bus
//   activation cannot start a firewall the PC's owner left disabled;
// - its connections are the interfaces the announcer announces on, each in its firewalld
//   zone (the zone the interface is bound to, else the default zone);
// - a connection's firewall counts as on unless its zone accepts everything (target ACCEPT);
// - a port mapping is a runtime rich rule in that zone that accepts the TCP port from the
//   interface's own subnet only, added when neither the port nor that very rule is open in
//   the zone already. It is never made permanent: a reload or a reboot removes it even when
//   the program is killed. Deleting it removes exactly that rule; a rule that firewalld has
//   dropped meanwhile (reload) counts as removed.
//
// Adding and removing ask firewalld, which asks polkit; the desktop's agent may ask the user
// for a password, so those calls allow interactive authorization and wait up to two
// minutes. A refusal or any bus error adds nothing and the program goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "firewall/firewall_services.h"
#include "platform/sockets.h"

struct sd_bus;
struct sd_bus_message;

namespace firewalld {

constexpr const char* BUS_NAME = "org.fedoraproject.FirewallD1";

// How long a call may take: the bus daemon's own answers, firewalld's queries, and the
// changes that may wait for a person to type a password. After one call has gone
// unanswered, a Bus makes no further call.
constexpr uint64_t BUS_TIMEOUT_US = 5'000'000;
constexpr uint64_t QUERY_TIMEOUT_US = 5'000'000;
constexpr uint64_t CHANGE_TIMEOUT_US = 120'000'000;

// One interface address to open the zone of (its name, address, netmask and flags).
using LinkAddress = NetInterface;

// The interfaces the announcer announces on, by its one rule, named by their interface.
std::vector<LinkAddress> AnnouncedLinks();

// The rich rule that accepts the port from the address's subnet, in firewalld's own
// normalised spelling (as firewall-cmd --list-rich-rules prints it).
std::string SubnetRule(uint32_t address, uint32_t netmask, uint16_t port, const char* protocol);

// What a call gave: 0 or more for success, a negative errno otherwise, and for an error
// reply its D-Bus name and text (firewalld puts its error code first: "NOT_ENABLED: ...").
struct CallError {
    int code = 0;
    std::string name;
    std::string message;
    bool Failed() const { return code < 0; }
    // firewalld's error code at the start of the message.
    bool Is(const char* firewalld_code) const;
};

// One connection to the system bus and the few calls the opening makes. Every call to
// firewalld is sent without auto-start, so that not even a race with its stopping can
// activate it.
class Bus {
public:
    Bus() = default;
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // Connects to the system bus; false (at once) when there is none.
    bool Open();
    bool IsOpen() const { return m_bus != nullptr; }
    // Whether a name has an owner right now; false also when the bus does not answer.
    bool NameHasOwner(const char* name);

    CallError GetDefaultZone(std::string* zone);
    CallError GetZoneOfInterface(const std::string& interface_name, std::string* zone);
    // The zone's runtime target ("default", "ACCEPT", "DROP", "%%REJECT%%").
    CallError GetZoneTarget(const std::string& zone, std::string* target);
    CallError QueryPort(const std::string& zone, uint16_t port, const char* protocol, bool* open);
    CallError QueryRichRule(const std::string& zone, const std::string& rule, bool* present);
    // Runtime only, no time limit. interactive lets polkit ask the user.
    CallError AddRichRule(const std::string& zone, const std::string& rule, bool interactive,
                          uint64_t timeout_us);
    CallError RemoveRichRule(const std::string& zone, const std::string& rule, bool interactive,
                             uint64_t timeout_us);

private:
    CallError Send(sd_bus_message* call, uint64_t timeout_us, sd_bus_message** reply);

    sd_bus* m_bus = nullptr;
    // A call went unanswered: the calls after it fail at once.
    bool m_timed_out = false;
};

// The sharing manager over firewalld, or null and a failure when there is nothing to open
// (no interface to announce on, no system bus, firewalld not running).
FwResult CreateSharingManager(FwSharingManager** out);

// How many of this back-end's objects are alive (each counted reference holder once).
long LiveObjects();
// The rules added and not yet removed, as zone and rule.
struct AddedRule {
    std::string zone;
    std::string rule;
};
std::vector<AddedRule> RulesHeld();

}  // namespace firewalld
