// The updater's handle on the Windows Firewall's list of authorized applications in the
// current profile. It enters the running executable in that list (enabled, local subnet) and
// takes the entry out again at exit, but only an entry that is the updater's own: the one it
// added, or one it finds under the updater's own name, which an earlier run left behind when
// it was killed, crashed or was ended with the Windows session. Any other entry for the path
// belongs to the user and stays. It also starts and ends COM use on the window's thread for
// the whole firewall subsystem, whichever opening method is taken.
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
    // it was) or the new one was added. An entry found with exactly this name counts as the
    // updater's own, like one added now. The name is ANSI text; the path is wide text, as the
    // platform gives it. Either text longer than FW_TEXT_CAPACITY - 1 characters is refused.
    bool AddApplication(const char* name, const FwText& path);
    // Removes the entry for path if it is the updater's own. true when it was removed.
    bool RemoveApplication(const FwText& path);
    // Releases the collection and ends the COM use that Initialize started.
    void Close();

    bool HasCollection() const { return m_pApplications != nullptr; }
    // true while an entry of the updater's own (added, or left behind by an earlier run) has
    // not been removed.
    bool AddedEntry() const { return m_bAddedEntry; }

private:
    FwAuthorizedApplications* m_pApplications = nullptr;
    // The updater's own entry, by path; only that one is removed at exit.
    bool m_bAddedEntry = false;
    FwText m_addedPath;
    // Initialize succeeded and Close has not yet ended the COM use.
    bool m_bComStarted = false;
};
