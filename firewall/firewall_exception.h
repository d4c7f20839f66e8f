// The updater's handle on the Windows Firewall's list of authorized applications in the
// current profile. It enters the running executable in that list (enabled, local subnet) and
// takes the entry out again at exit, but only an entry it added itself: an entry that was
// there before belongs to the user and stays. It also starts and ends COM use on the
// window's thread for the whole firewall subsystem, whichever opening method is taken.
#pragma once

#include "firewall/firewall_services.h"

class CFirewallException {
public:
    CFirewallException();
    // Does not release the collection: Close does, and comes first.
    virtual ~CFirewallException();

    CFirewallException(const CFirewallException&) = delete;
    CFirewallException& operator=(const CFirewallException&) = delete;

    // CoInitialize on the calling thread; its result.
    FwResult Initialize();
    // true when the firewall manager could be created, also when its policy, profile or
    // collection could not be reached (then Add/RemoveApplication do nothing).
    bool Open();
    // Makes sure an entry for path exists. true when one was there already (left exactly as
    // it was) or the new one was added.
    bool AddApplication(const char* name, const char* path);
    // Removes the entry for path if AddApplication added it. true when it was removed.
    bool RemoveApplication(const char* path);
    // Releases the collection and ends the COM use that Initialize started.
    void Close();

    bool HasCollection() const { return m_pApplications != nullptr; }
    // true while an entry that this object added has not been removed.
    bool AddedEntry() const { return m_bAddedEntry; }

private:
    FwAuthorizedApplications* m_pApplications = nullptr;
    // The entry this object added, by path; only that one is removed at exit.
    bool m_bAddedEntry = false;
    FwText m_addedPath;
    // Initialize succeeded and Close has not yet ended the COM use.
    bool m_bComStarted = false;
};
