// Opening the PC's firewall for the updater's server at start-up and undoing it at the end.
// The main window holds one opening from its start-up to its teardown. Each platform has its
// own, chosen when the program is built (firewall/CMakeLists.txt):
//
// - Windows (windows_opening.cpp): an entry for the program in the Windows Firewall's
//   authorized applications (CFirewallException) or, where that firewall is absent, a port
//   mapping on the older connection-sharing firewall (CPortMapping); OpenFirewallFor and
//   CloseFirewallFor below choose between them and undo the one chosen.
// - Linux (firewalld_opening.cpp): a runtime rule in firewalld for each network the
//   announcer announces on (CFirewalldOpening, firewall/firewalld_opening.h).
#pragma once

#include <cstdint>

class CPortMapping;
class CFirewallException;

class CFirewallOpening {
public:
    virtual ~CFirewallOpening() = default;
    // Lets the receiver reach the server; best effort and silent: the program works
    // whatever it achieved. Records the method in g_firewall_method.
    virtual void Open() = 0;
    // Undoes exactly what Open did; a second call does nothing.
    virtual void Close() = 0;
};

// This platform's opening, not opened yet.
CFirewallOpening* NewSystemFirewallOpening();

// The port an opening lets in: the one the port probe finds now, which the first update run
// normally uses (the probe runs through ResetRunState), else 20200.
uint16_t PortToOpen();

// The main window's OpenFirewall and CloseFirewall over its one member: makes this
// platform's opening and opens it (nothing while one is held); closes and deletes it and sets
// the pointer to null (nothing when it is null).
void OpenSystemFirewall(CFirewallOpening*& opening);
void CloseSystemFirewall(CFirewallOpening*& opening);

// ---- The Windows opening, over its two objects ----------------------------------------------

// Creates both objects, chooses the method (application exception when the firewall
// manager exists, else port mapping), opens it and records it in g_firewall_method.
void OpenFirewallFor(CPortMapping*& port_mapping, CFirewallException*& firewall_exception);

// Undoes exactly what OpenFirewallFor opened, ends COM use, deletes both objects and sets
// both pointers to null. Safe to call when nothing was opened; a second call does nothing.
void CloseFirewallFor(CPortMapping*& port_mapping, CFirewallException*& firewall_exception);
