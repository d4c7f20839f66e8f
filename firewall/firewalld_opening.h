// The firewall opening on Linux: firewalld, asked over the system bus (firewalld::Bus,
// platform/posix/firewalld.h).
//
// - Nothing is asked unless the system bus is there and firewalld owns its name on it right
//   now: the name is never called while it has no owner, so that bus activation cannot start
//   a firewall the PC's owner left disabled.
// - Each interface the announcer announces on (ListAnnounceInterfaces, one entry per
//   address) is opened in its firewalld zone: the zone the interface is bound to, else the
//   default zone. A zone that accepts everything (target ACCEPT), or has the port open
//   already (the port or a range such as 1025-65535), or has the very rule (the user's own),
//   is left alone.
// - The opening is a runtime rich rule that accepts the TCP port from the interface's own
//   subnet only. It is never made permanent: a reload or a reboot removes it even when the
//   program is killed.
// - Adding and removing ask firewalld, which asks polkit; the desktop's agent may ask the
//   user for a password, so those calls allow interactive authorization and wait up to two
//   minutes. After one refusal nothing more is asked; a refusal or any bus error adds nothing
//   and the program goes on.
// - Close removes exactly the rules this opening added, each once; one that firewalld has
//   dropped meanwhile (a reload) counts as removed. A process that ends through exit()
//   without closing (Qt does so when the display connection breaks) removes them on its
//   way out, without asking for a password.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firewall/firewall_opening.h"

namespace firewalld {

// A rule this process added, as its zone and its text.
struct AddedRule {
    std::string zone;
    std::string rule;
};

// The rich rule that accepts the TCP port from the address's subnet, in firewalld's own
// normalised spelling (as firewall-cmd --list-rich-rules prints it).
std::string SubnetRule(uint32_t address, uint32_t netmask, uint16_t port);

// Removes one rule over a bus connection of its own. true when the rule is gone: removed,
// dropped by firewalld already, or firewalld no longer runs (it takes its runtime rules
// along). *refused tells a refusal (the user said no) from other failures.
bool RemoveRule(const AddedRule& rule, bool interactive, uint64_t timeout_us, bool* refused);

// The rules this process added and has not yet removed or handed to a removal.
std::vector<AddedRule> RulesHeld();

}  // namespace firewalld

class CFirewalldOpening final : public CFirewallOpening {
public:
    void Open() override;
    void Close() override;

    // The port the rules let in: the one the port probe found, else 20200. 0 before Open.
    uint16_t Port() const { return m_port; }
    // The rules Open added and Close has not yet removed, in the order they were added.
    const std::vector<firewalld::AddedRule>& RulesAdded() const { return m_rules; }

private:
    uint16_t m_port = 0;
    std::vector<firewalld::AddedRule> m_rules;
};
