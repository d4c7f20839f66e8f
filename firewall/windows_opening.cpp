// The opening on Windows: the main window's two firewall objects, the application exception
// and the port mapping, opened and closed as one.
#include "firewall/firewall_opening.h"

namespace {

class CWindowsFirewallOpening final : public CFirewallOpening {
public:
    void Open() override { OpenFirewallFor(m_pPortMapping, m_pFirewallException); }
    void Close() override { CloseFirewallFor(m_pPortMapping, m_pFirewallException); }

private:
    CPortMapping* m_pPortMapping = nullptr;
    CFirewallException* m_pFirewallException = nullptr;
};

}  // namespace

CFirewallOpening* NewSystemFirewallOpening() { return new CWindowsFirewallOpening(); }
