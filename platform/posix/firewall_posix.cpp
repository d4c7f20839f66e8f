// Linux has none of the Windows firewall services: its opening is firewalld's
// (firewall/firewalld_opening.cpp). The Windows opening is built here all the same, for its
// tests on fakes; on these services it would find neither manager and change nothing.
#include "firewall/firewall_services.h"

namespace {

class NoWindowsFirewall final : public FirewallPlatform {
public:
    FwResult InitializeCom() override { return FW_E_CLASSNOTREG; }
    void UninitializeCom() override {}
    bool AnsiToWide(const char*, FwText* out) override { return Nothing(out); }
    FwResult CreateFirewallManager(FwManager** out) override { return Nothing(out); }
    FwResult CreateAuthorizedApplication(FwAuthorizedApplication** out) override { return Nothing(out); }
    FwResult CreateSharingManager(FwSharingManager** out) override { return Nothing(out); }
    bool ReadExecutablePath(FwText* out) override { return Nothing(out); }
    bool ReadComputerName(FwText* out) override { return Nothing(out); }

private:
    template <class T>
    static FwResult Nothing(T** out) {
        *out = nullptr;
        return FW_E_CLASSNOTREG;
    }
    static bool Nothing(FwText* out) {
        out->clear();
        return false;
    }
};

}  // namespace

FirewallPlatform& SystemFirewallPlatform() {
    static NoWindowsFirewall platform;
    return platform;
}
