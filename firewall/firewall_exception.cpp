#include "firewall/firewall_exception.h"

CFirewallException::CFirewallException() = default;

CFirewallException::~CFirewallException() = default;

FwResult CFirewallException::Initialize() {
    const FwResult result = CurrentFirewallPlatform().InitializeCom();
    // S_FALSE (already initialised on this thread) also has to be balanced by
    // CoUninitialize; a failure (another apartment model) must not be.
    if (FwSucceeded(result)) m_bComStarted = true;
    return result;
}

bool CFirewallException::Open() {
    // A second Open must not lose the reference the first one holds.
    FwRelease(m_pApplications);

    FwManager* manager = nullptr;
    CurrentFirewallPlatform().CreateFirewallManager(&manager);
    if (manager == nullptr) return false;

    // From here on the firewall is there, whatever the following steps give.
    FwPolicy* policy = nullptr;
    FwProfile* profile = nullptr;
    manager->GetLocalPolicy(&policy);
    if (policy != nullptr) {
        policy->GetCurrentProfile(&profile);
        if (profile != nullptr) {
            FwAuthorizedApplications* applications = nullptr;
            if (profile->GetAuthorizedApplications(&applications) == FW_S_OK) {
                m_pApplications = applications;
            } else {
                // A failing call that still wrote an object would otherwise leak it.
                FwRelease(applications);
            }
        }
    }
    FwRelease(profile);
    FwRelease(policy);
    FwRelease(manager);
    return true;
}

bool CFirewallException::AddApplication(const char* name, const char* path) {
    if (m_pApplications == nullptr) return false;

    FirewallPlatform& platform = CurrentFirewallPlatform();
    FwText wide_name;
    FwText wide_path;
    // A text that does not convert (or does not fit the work area) is not passed on half
    // converted: nothing is asked of the firewall.
    if (!platform.AnsiToWide(name, &wide_name) || !platform.AnsiToWide(path, &wide_path)) {
        return false;
    }

    FwAuthorizedApplication* existing = nullptr;
    m_pApplications->Item(wide_path, &existing);
    if (existing != nullptr) {
        // The user's own entry: neither changed now nor removed at exit.
        FwRelease(existing);
        return true;
    }

    FwAuthorizedApplication* entry = nullptr;
    platform.CreateAuthorizedApplication(&entry);
    if (entry == nullptr) return false;
    entry->PutName(wide_name);
    entry->PutProcessImageFileName(wide_path);
    entry->PutEnabled(true);
    entry->PutScope(FW_SCOPE_LOCAL_SUBNET);
    const bool added = m_pApplications->Add(entry) == FW_S_OK;
    FwRelease(entry);
    if (added) {
        m_bAddedEntry = true;
        m_addedPath = wide_path;
    }
    return added;
}

bool CFirewallException::RemoveApplication(const char* path) {
    if (m_pApplications == nullptr || !m_bAddedEntry) return false;

    FwText wide_path;
    if (!CurrentFirewallPlatform().AnsiToWide(path, &wide_path)) return false;
    // Only the entry this object added goes; any other path is not ours to remove.
    if (wide_path != m_addedPath) return false;
    const bool removed = m_pApplications->Remove(wide_path) == FW_S_OK;
    if (removed) {
        m_bAddedEntry = false;
        m_addedPath.clear();
    }
    return removed;
}

void CFirewallException::Close() {
    FwRelease(m_pApplications);
    if (m_bComStarted) {
        m_bComStarted = false;
        CurrentFirewallPlatform().UninitializeCom();
    }
}
