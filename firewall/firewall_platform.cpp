#include "firewall/firewall_services.h"

namespace {
FirewallPlatform* g_replacement = nullptr;
}  // namespace

FirewallPlatform& CurrentFirewallPlatform() {
    return g_replacement != nullptr ? *g_replacement : SystemFirewallPlatform();
}

FirewallPlatform* SetFirewallPlatform(FirewallPlatform* platform) {
    FirewallPlatform* previous = g_replacement;
    g_replacement = platform;
    return previous;
}
