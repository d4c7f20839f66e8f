#include "firewall/firewall_opening.h"

#include "firewall/firewall_constants.h"
#include "firewall/firewall_exception.h"
#include "firewall/port_mapping.h"
#include "run/run_state.h"

uint16_t PortToOpen() {
    ResetRunState();
    const uint16_t probed = g_server_port;
    return probed != 0 ? probed : DEFAULT_MAPPED_PORT;
}

void OpenSystemFirewall(CFirewallOpening*& opening) {
    // Made once: a second opening while one is held could not be undone.
    if (opening != nullptr) return;
    opening = NewSystemFirewallOpening();
    opening->Open();
}

void CloseSystemFirewall(CFirewallOpening*& opening) {
    if (opening == nullptr) return;
    opening->Close();
    delete opening;
    opening = nullptr;
}

void OpenFirewallFor(CPortMapping*& port_mapping, CFirewallException*& firewall_exception) {
    // The opening is made once: a second call while one is held would lose the first
    // objects (and start COM a second time) and leave its opening impossible to undo.
    if (port_mapping != nullptr || firewall_exception != nullptr) return;

    g_firewall_method = FIREWALL_NONE;
    port_mapping = new CPortMapping();
    firewall_exception = new CFirewallException();
    // COM for this thread, whichever method is taken: the port mapping relies on it.
    firewall_exception->Initialize();

    // Only whether the firewall manager exists decides the method.
    if (firewall_exception->Open()) {
        FwText path;
        // An entry for an empty or cut-off path would open the firewall for nothing we run.
        if (CurrentFirewallPlatform().ReadExecutablePath(&path)) {
            firewall_exception->AddApplication(UPDATER_ENTRY_NAME, path);
        }
        g_firewall_method = FIREWALL_APP_EXCEPTION;
    } else {
        port_mapping->AddMapping(PortToOpen(), FW_PROTOCOL_TCP);
        g_firewall_method = FIREWALL_PORT_MAPPING;
    }
}

void CloseFirewallFor(CPortMapping*& port_mapping, CFirewallException*& firewall_exception) {
    FwText path;
    CurrentFirewallPlatform().ReadExecutablePath(&path);

    switch (g_firewall_method.load()) {
        case FIREWALL_PORT_MAPPING:
            if (port_mapping != nullptr) port_mapping->RemoveMapping();
            break;
        case FIREWALL_APP_EXCEPTION:
            if (firewall_exception != nullptr) firewall_exception->RemoveApplication(path);
            break;
        default: break;
    }
    // After the removal, for both methods: releases the collection and ends COM use.
    if (firewall_exception != nullptr) firewall_exception->Close();

    delete firewall_exception;
    firewall_exception = nullptr;
    delete port_mapping;
    port_mapping = nullptr;
}
