// Opening the PC's firewall for the updater's server at start-up and undoing it at exit.
// The main window owns the two firewall objects; these are the steps of its OpenFirewall
// and CloseFirewall, over its two members.
#pragma once

class CPortMapping;
class CFirewallException;

// Creates both objects, chooses the method (application exception when the firewall
// manager exists, else port mapping), opens it and records it in g_firewall_method.
void OpenFirewallFor(CPortMapping*& port_mapping, CFirewallException*& firewall_exception);

// Undoes exactly what OpenFirewallFor opened, ends COM use, deletes both objects and sets
// both pointers to null. Safe to call when nothing was opened; a second call does nothing.
void CloseFirewallFor(CPortMapping*& port_mapping, CFirewallException*& firewall_exception);
