// The system-bus calls of the firewalld opening, over sd-bus.
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/firewalld.h"

namespace firewalld {

namespace {

constexpr const char* OBJECT_PATH = "/org/fedoraproject/FirewallD1";
constexpr const char* MAIN_INTERFACE = "org.fedoraproject.FirewallD1";
constexpr const char* ZONE_INTERFACE = "org.fedoraproject.FirewallD1.zone";

// Owns a message reference for one scope.
struct Message {
    sd_bus_message* m = nullptr;
    ~Message() { sd_bus_message_unref(m); }
};

CallError Failure(int code) {
    CallError e;
    e.code = code < 0 ? code : -code;
    return e;
}

// A method call to firewalld: never auto-started, and interactive where a change may need
// the user's password.
int NewCall(sd_bus* bus, Message* call, const char* interface_name, const char* method, bool interactive) {
    int r = sd_bus_message_new_method_call(bus, &call->m, BUS_NAME, OBJECT_PATH, interface_name, method);
    if (r < 0) return r;
    r = sd_bus_message_set_auto_start(call->m, 0);
    if (r < 0) return r;
    if (interactive) r = sd_bus_message_set_allow_interactive_authorization(call->m, 1);
    return r;
}

CallError ReadString(Message* reply, std::string* out) {
    const char* text = nullptr;
    const int r = sd_bus_message_read(reply->m, "s", &text);
    if (r < 0) return Failure(r);
    *out = text != nullptr ? text : "";
    return {};
}

CallError ReadBool(Message* reply, bool* out) {
    int value = 0;
    const int r = sd_bus_message_read(reply->m, "b", &value);
    if (r < 0) return Failure(r);
    *out = value != 0;
    return {};
}

}  // namespace

bool CallError::Is(const char* firewalld_code) const {
    const std::size_t n = std::strlen(firewalld_code);
    return Failed() && message.compare(0, n, firewalld_code) == 0 &&
           (message.size() == n || message[n] == ':');
}

Bus::~Bus() {
    if (m_bus != nullptr) sd_bus_flush_close_unref(m_bus);
}

bool Bus::Open() {
    if (m_bus != nullptr) return true;
    sd_bus* bus = nullptr;
    // Fails at once when no system bus listens.
    if (sd_bus_open_system(&bus) < 0) return false;
    m_bus = bus;
    return true;
}

CallError Bus::Send(sd_bus_message* call, uint64_t timeout_us, sd_bus_message** reply) {
    CallError result;
    if (m_timed_out) return Failure(-ETIMEDOUT);
    sd_bus_error error = SD_BUS_ERROR_NULL;
    result.code = sd_bus_call(m_bus, call, timeout_us, &error, reply);
    if (result.code < 0) {
        if (error.name != nullptr) result.name = error.name;
        if (error.message != nullptr) result.message = error.message;
    }
    sd_bus_error_free(&error);
    // A firewalld that does not answer is not asked again: every further call would wait
    // as long, and the window is not shown before the opening is done.
    if (result.code == -ETIMEDOUT) m_timed_out = true;
    return result;
}

bool Bus::NameHasOwner(const char* name) {
    if (m_bus == nullptr) return false;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    Message call;
    Message reply;
    int has = 0;
    int r = sd_bus_message_new_method_call(m_bus, &call.m, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                           "org.freedesktop.DBus", "NameHasOwner");
    if (r >= 0) r = sd_bus_message_append(call.m, "s", name);
    if (r >= 0) r = sd_bus_call(m_bus, call.m, BUS_TIMEOUT_US, &error, &reply.m);
    if (r >= 0) r = sd_bus_message_read(reply.m, "b", &has);
    sd_bus_error_free(&error);
    return r >= 0 && has != 0;
}

CallError Bus::GetDefaultZone(std::string* zone) {
    zone->clear();
    if (m_bus == nullptr) return Failure(-ENOTCONN);
    Message call;
    Message reply;
    int r = NewCall(m_bus, &call, MAIN_INTERFACE, "getDefaultZone", false);
    if (r < 0) return Failure(r);
    CallError e = Send(call.m, QUERY_TIMEOUT_US, &reply.m);
    return e.Failed() ? e : ReadString(&reply, zone);
}

CallError Bus::GetZoneOfInterface(const std::string& interface_name, std::string* zone) {
    zone->clear();
    if (m_bus == nullptr) return Failure(-ENOTCONN);
    Message call;
    Message reply;
    int r = NewCall(m_bus, &call, ZONE_INTERFACE, "getZoneOfInterface", false);
    if (r >= 0) r = sd_bus_message_append(call.m, "s", interface_name.c_str());
    if (r < 0) return Failure(r);
    CallError e = Send(call.m, QUERY_TIMEOUT_US, &reply.m);
    return e.Failed() ? e : ReadString(&reply, zone);
}

CallError Bus::GetZoneTarget(const std::string& zone, std::string* target) {
    target->clear();
    if (m_bus == nullptr) return Failure(-ENOTCONN);
    Message call;
    Message reply;
    int r = NewCall(m_bus, &call, ZONE_INTERFACE, "getZoneSettings2", false);
    if (r >= 0) r = sd_bus_message_append(call.m, "s", zone.c_str());
    if (r < 0) return Failure(r);
    CallError e = Send(call.m, QUERY_TIMEOUT_US, &reply.m);
    if (e.Failed()) return e;
    // a{sv}: only "target" is wanted; every other value is skipped.
    r = sd_bus_message_enter_container(reply.m, 'a', "{sv}");
    while (r >= 0 && (r = sd_bus_message_enter_container(reply.m, 'e', "sv")) > 0) {
        const char* key = nullptr;
        r = sd_bus_message_read(reply.m, "s", &key);
        if (r < 0) break;
        if (key != nullptr && std::strcmp(key, "target") == 0) {
            const char* value = nullptr;
            r = sd_bus_message_read(reply.m, "v", "s", &value);
            if (r >= 0 && value != nullptr) *target = value;
        } else {
            r = sd_bus_message_skip(reply.m, "v");
        }
        if (r >= 0) r = sd_bus_message_exit_container(reply.m);
    }
    return r < 0 ? Failure(r) : CallError{};
}

CallError Bus::QueryPort(const std::string& zone, uint16_t port, const char* protocol, bool* open) {
    *open = false;
    if (m_bus == nullptr) return Failure(-ENOTCONN);
    const std::string port_text = std::to_string(port);
    Message call;
    Message reply;
    int r = NewCall(m_bus, &call, ZONE_INTERFACE, "queryPort", false);
    if (r >= 0) r = sd_bus_message_append(call.m, "sss", zone.c_str(), port_text.c_str(), protocol);
    if (r < 0) return Failure(r);
    CallError e = Send(call.m, QUERY_TIMEOUT_US, &reply.m);
    return e.Failed() ? e : ReadBool(&reply, open);
}

CallError Bus::QueryRichRule(const std::string& zone, const std::string& rule, bool* present) {
    *present = false;
    if (m_bus == nullptr) return Failure(-ENOTCONN);
    Message call;
    Message reply;
    int r = NewCall(m_bus, &call, ZONE_INTERFACE, "queryRichRule", false);
    if (r >= 0) r = sd_bus_message_append(call.m, "ss", zone.c_str(), rule.c_str());
    if (r < 0) return Failure(r);
    CallError e = Send(call.m, QUERY_TIMEOUT_US, &reply.m);
    return e.Failed() ? e : ReadBool(&reply, present);
}

CallError Bus::AddRichRule(const std::string& zone, const std::string& rule, bool interactive,
                           uint64_t timeout_us) {
    if (m_bus == nullptr) return Failure(-ENOTCONN);
    Message call;
    Message reply;
    // Timeout 0: the rule stays until it is removed, firewalld reloads or the PC restarts.
    int r = NewCall(m_bus, &call, ZONE_INTERFACE, "addRichRule", interactive);
    if (r >= 0) r = sd_bus_message_append(call.m, "ssi", zone.c_str(), rule.c_str(), 0);
    if (r < 0) return Failure(r);
    return Send(call.m, timeout_us, &reply.m);
}

CallError Bus::RemoveRichRule(const std::string& zone, const std::string& rule, bool interactive,
                              uint64_t timeout_us) {
    if (m_bus == nullptr) return Failure(-ENOTCONN);
    Message call;
    Message reply;
    int r = NewCall(m_bus, &call, ZONE_INTERFACE, "removeRichRule", interactive);
    if (r >= 0) r = sd_bus_message_append(call.m, "ss", zone.c_str(), rule.c_str());
    if (r < 0) return Failure(r);
    return Send(call.m, timeout_us, &reply.m);
}

}  // namespace firewalld
