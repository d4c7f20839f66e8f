// What the windows call outside themselves at start-up, during a run and at shut-down, as a
// replaceable table. The product uses the system table; a test installs its own entries so
// that it can record the order of start-up and teardown, play a second instance, and run
// the windows without a real update worker touching the network.
#pragma once

class CFirewallOpening;

struct AppServices {
    // The single-instance lock (platform/instance_lock.h).
    bool (*acquire_instance_lock)(const char* name);
    void (*activate_running_instance)(const char* name);
    // The firewall opening and its undoing over the main window's member: the platform's own
    // (firewall/firewall_opening.h), firewalld's on Linux.
    void (*open_firewall)(CFirewallOpening*& opening);
    void (*close_firewall)(CFirewallOpening*& opening);
    // Starts UpdateWorker on a detached thread; a failure to start goes unnoticed (the
    // watchdog then ends the run as no device).
    void (*start_worker)();
    // The network half of stopping a run: announcer stop, server marked stopped, server
    // loop ended.
    void (*stop_network)();
    // Waits up to timeout_ms for the update worker to end; true once no worker runs.
    bool (*wait_worker_end)(unsigned timeout_ms);
};

// The table the product runs with.
const AppServices& SystemAppServices();
// The table in use.
const AppServices& CurrentAppServices();
// Installs a table and returns the previous one. Call it only while no window is open.
AppServices SetAppServices(const AppServices& services);

// The name of the single-instance lock.
constexpr const char* INSTANCE_LOCK_NAME = "Orvane_updater";
