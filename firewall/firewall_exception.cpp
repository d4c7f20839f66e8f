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

namespace {

// A path the firewall can be asked about: not empty, and within the work area of one text.
bool UsablePath(const FwText& path) { return !path.empty() && path.size() < FW_TEXT_CAPACITY; }

}  // namespace

bool CFirewallException::AddApplication(const char* name, const FwText& wide_path) {
    if (m_pApplications == nullptr) return false;

    FirewallPlatform& platform = CurrentFirewallPlatform();
    FwText wide_name;
    // A text that does not convert (or does not fit the work area) is not passed on half
    // converted: nothing is asked of the firewall.
    if (!platform.AnsiToWide(name, &wide_name) || !UsablePath(wide_path)) return false;

    FwAuthorizedApplication* existing = nullptr;
    m_pApplications->Item(wide_path, &existing);
    if (existing != nullptr) {
        // Left exactly as it is. Under the updater's own name it is what an earlier run of
        // this program added and could not take out again (killed, crashed, the session
        // ended): nobody names an entry so by hand, and Windows' own prompt names its rules
        // after the file's description. Left in place, it would keep the PC open for good, so
        // it is removed at exit like an entry added now. Under any other name it is the
        // user's, and stays.
        FwText existing_name;
        if (existing->GetName(&existing_name) == FW_S_OK && existing_name == wide_name) {
            m_bAddedEntry = true;
            m_addedPath = wide_path;
        }
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

bool CFirewallException::RemoveApplication(const FwText& wide_path) {
    if (m_pApplications == nullptr || !m_bAddedEntry) return false;
    // Only the updater's own entry goes; any other path is not ours to remove.
    if (!UsablePath(wide_path) || wide_path != m_addedPath) return false;
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
