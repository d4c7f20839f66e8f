// This platform has no Windows Firewall: creating its manager gives none, so the opening
// takes the port-mapping method. The connection-sharing service is firewalld, where it runs
// (platform/posix/firewalld.h): its zones take the port mapping as a runtime rule.
#include <cstring>

#include "firewall/firewall_constants.h"
#include "firewall/firewall_services.h"
#include "platform/firewall_platform.h"
#include "platform/posix/firewalld.h"
#include "platform/process_info.h"

namespace {

class PosixFirewallPlatform final : public FirewallPlatform {
public:
    FwResult InitializeCom() override { return FW_S_OK; }
    void UninitializeCom() override {}

    // No code page here: each byte becomes the wide character of the same value.
    bool AnsiToWide(const char* text, FwText* out) override {
        out->clear();
        if (text == nullptr) return false;
        const std::size_t length = std::strlen(text);
        if (length >= FW_TEXT_CAPACITY) return false;
        for (std::size_t i = 0; i < length; ++i) {
            out->push_back(static_cast<char16_t>(static_cast<unsigned char>(text[i])));
        }
        return true;
    }

    FwResult CreateFirewallManager(FwManager** out) override {
        *out = nullptr;
        return FW_E_CLASSNOTREG;
    }
    FwResult CreateAuthorizedApplication(FwAuthorizedApplication** out) override {
        *out = nullptr;
        return FW_E_CLASSNOTREG;
    }
    FwResult CreateSharingManager(FwSharingManager** out) override {
        return firewalld::CreateSharingManager(out);
    }

    bool ReadExecutablePath(FwText* out) override {
        return ReadExecutablePathText(out, EXECUTABLE_PATH_SIZE);
    }
    bool ReadComputerName(FwText* out) override { return ReadComputerNameText(out); }
};

}  // namespace

FirewallPlatform& SystemFirewallPlatform() {
    static PosixFirewallPlatform platform;
    return platform;
}

long FirewallPlatformReferencesHeld() { return firewalld::LiveObjects(); }
