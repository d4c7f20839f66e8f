// One TCP port opened through the connection firewall of the older connection-sharing
// service, for PCs without the Windows Firewall manager. Every qualifying connection whose
// connection firewall is on gets an enabled mapping named after the updater, with the same
// external and internal port, directed to this computer by name. At exit exactly the
// mappings this object created are deleted, on every connection that got one; mappings the
// user had before are never touched.
//
// COM must have been started on the calling thread (CFirewallException::Initialize) before
// AddMapping and must still be running when RemoveMapping is called.
#pragma once

#include <cstdint>
#include <vector>

#include "firewall/firewall_services.h"

class CPortMapping {
public:
    CPortMapping();
    // Releases any mapping that RemoveMapping has not dealt with (only possible when the
    // object is destroyed without a RemoveMapping while COM still runs).
    virtual ~CPortMapping();

    CPortMapping(const CPortMapping&) = delete;
    CPortMapping& operator=(const CPortMapping&) = delete;

    // Adds the mapping for port and protocol on every qualifying connection with its
    // firewall on. Always true; the caller does not act on it.
    bool AddMapping(uint16_t port, uint8_t protocol);
    // Deletes every mapping AddMapping created. false when there was none to delete.
    bool RemoveMapping();

    uint16_t Port() const { return m_port; }
    uint8_t Protocol() const { return m_protocol; }
    // How many mappings this object created and has not yet deleted.
    std::size_t MappingsHeld() const { return m_added.size(); }

private:
    uint16_t m_port = 0;
    uint8_t m_protocol = 0;
    // The mappings AddMapping created, one counted reference each, held until RemoveMapping
    // deletes them: the only sure way to know which mappings are ours.
    std::vector<FwPortMapping*> m_added;
};

// The qualifying test for one enumerated item of the every-connection enumeration: an
// INetConnection with properties whose characteristics say shared or firewalled and whose
// media type is not a shared-access host. On success *connection and *props hold one
// reference each; on failure both are null and nothing is held.
bool QualifyConnection(FwSharingManager* manager, const FwVariant& item, FwConnection** connection,
                       FwConnectionProps** props);

// get__NewEnum of the collection, then its IEnumVARIANT. On success *enum_object and
// *enumerator hold one reference each; on failure both are null.
bool OpenEnumeration(FwCollection* collection, FwObject** enum_object, FwEnumVariant** enumerator);
