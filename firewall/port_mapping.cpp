#include "firewall/port_mapping.h"

#include "firewall/firewall_constants.h"

CPortMapping::CPortMapping() = default;

CPortMapping::~CPortMapping() {
    for (FwPortMapping*& mapping : m_added) FwRelease(mapping);
}

bool OpenEnumeration(FwCollection* collection, FwObject** enum_object, FwEnumVariant** enumerator) {
    *enum_object = nullptr;
    *enumerator = nullptr;
    collection->GetNewEnum(enum_object);
    if (*enum_object == nullptr) return false;
    FwObject* queried = nullptr;
    (*enum_object)->QueryInterface(FwInterface::ENUM_VARIANT, &queried);
    if (queried == nullptr) {
        FwRelease(*enum_object);
        return false;
    }
    *enumerator = static_cast<FwEnumVariant*>(queried);
    return true;
}

bool QualifyConnection(FwSharingManager* manager, const FwVariant& item, FwConnection** connection,
                       FwConnectionProps** props) {
    *connection = nullptr;
    *props = nullptr;
    if (item.type != FwVariantType::UNKNOWN || item.object == nullptr) return false;
    FwObject* queried = nullptr;
    item.object->QueryInterface(FwInterface::CONNECTION, &queried);
    if (queried == nullptr) return false;
    FwConnection* conn = static_cast<FwConnection*>(queried);

    FwConnectionProps* properties = nullptr;
    manager->GetNetConnectionProps(conn, &properties);
    if (properties == nullptr) {
        FwRelease(conn);
        return false;
    }
    // Both start from 0, so a query that writes nothing fails the first test and passes the
    // second.
    uint32_t characteristics = 0;
    int32_t media_type = 0;
    properties->GetCharacteristics(&characteristics);
    properties->GetMediaType(&media_type);
    const bool shared_or_firewalled = (characteristics & (FW_NCCF_SHARED | FW_NCCF_FIREWALLED)) != 0;
    const bool sharing_host =
        media_type == FW_NCM_SHAREDACCESSHOST_LAN || media_type == FW_NCM_SHAREDACCESSHOST_RAS;
    if (!shared_or_firewalled || sharing_host) {
        FwRelease(properties);
        FwRelease(conn);
        return false;
    }
    *connection = conn;
    *props = properties;
    return true;
}

bool CPortMapping::AddMapping(uint16_t port, uint8_t protocol) {
    m_port = port;
    m_protocol = protocol;

    FirewallPlatform& platform = CurrentFirewallPlatform();
    FwSharingManager* manager = nullptr;
    platform.CreateSharingManager(&manager);
    if (manager == nullptr) return true;

    FwCollection* connections = nullptr;
    FwObject* enum_object = nullptr;
    FwEnumVariant* enumerator = nullptr;
    manager->GetEnumEveryConnection(&connections);
    if (connections == nullptr || !OpenEnumeration(connections, &enum_object, &enumerator)) {
        FwRelease(connections);
        FwRelease(manager);
        return true;
    }

    FwVariant item;
    while (enumerator->Next(&item) == FW_S_OK) {
        FwConnection* connection = nullptr;
        FwConnectionProps* props = nullptr;
        FwSharingConfiguration* configuration = nullptr;
        if (QualifyConnection(manager, item, &connection, &props)) {
            manager->GetSharingConfigurationForConnection(connection, &configuration);
        }
        bool firewall_on = false;
        if (configuration != nullptr) configuration->GetInternetFirewallEnabled(&firewall_on);
        if (firewall_on) {
            FwText name;
            FwText target;
            // Without this computer's name the mapping has no target: the connection is left
            // as it is, like one where an earlier step failed.
            if (platform.AnsiToWide(UPDATER_ENTRY_NAME, &name) && platform.ReadComputerName(&target)) {
                FwPortMapping* mapping = nullptr;
                configuration->AddPortMapping(name, m_protocol, m_port, m_port, 0, target, FW_ICSTT_NAME,
                                              &mapping);
                if (mapping != nullptr) {
                    mapping->Enable();
                    m_added.push_back(mapping);
                }
            }
        }
        FwRelease(configuration);
        FwRelease(props);
        FwRelease(connection);
        FwVariantClear(&item);
    }
    // Next may hand over an item with a value other than S_OK.
    FwVariantClear(&item);

    FwRelease(enumerator);
    FwRelease(enum_object);
    FwRelease(connections);
    FwRelease(manager);
    return true;
}

bool CPortMapping::RemoveMapping() {
    if (m_added.empty()) return false;
    for (FwPortMapping*& mapping : m_added) {
        mapping->Delete();
        FwRelease(mapping);
    }
    m_added.clear();
    m_protocol = 0;
    m_port = 0;
    return true;
}
