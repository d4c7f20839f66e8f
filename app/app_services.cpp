#include "app/app_services.h"

#include "firewall/firewall_opening.h"
#include "platform/instance_lock.h"
#include "platform/threads.h"
#include "run/update_worker.h"

namespace {

void StartWorkerThread() { (void)StartDetachedThread(UpdateWorker, nullptr); }

const AppServices kSystem = {
    AcquireSingleInstanceLock, ActivateRunningInstance, OpenSystemFirewall, CloseSystemFirewall,
    StartWorkerThread,         StopUpdateRunNetwork,    WaitForWorkerEnd,
};

AppServices g_current = kSystem;

}  // namespace

const AppServices& SystemAppServices() { return kSystem; }
const AppServices& CurrentAppServices() { return g_current; }

AppServices SetAppServices(const AppServices& services) {
    const AppServices previous = g_current;
    g_current = services;
    return previous;
}
