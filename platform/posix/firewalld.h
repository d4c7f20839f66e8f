// firewalld on the system bus (org.fedoraproject.FirewallD1), through sd-bus: the few calls
// the Linux firewall opening makes (firewall/firewalld_opening.cpp), over one connection.
// Every call to firewalld is sent without auto-start, so that the opening never starts a
// firewall the PC's owner left disabled; the changes may ask polkit, and through it the
// user, and so wait up to two minutes.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace firewalld
