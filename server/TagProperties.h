#pragma once
// The item properties of one tag as IOPCItemProperties gives them: the
// standard ones, and the tag's own settings as ids from 5000. Everything is
// read from the tag in one visit, so that the values of one call agree.
#include <windows.h>
#include <oaidl.h>

#include <optional>
#include <string_view>
#include <vector>

#include "OPCS_Tag.h"

struct ItemProperty {
    DWORD id;
    const wchar_t* description;
    VARTYPE type;
};

class Configuration;

class TagProperties {
public:
    // The caller holds the configuration lock, so that the tag and its device
    // stay while they are read.
    explicit TagProperties(OPCS_Tag& tag);

    // The properties this tag has, in id order.
    std::vector<ItemProperty> Available() const;
    bool Has(DWORD id) const;
    // The value of property `id` into `value` (initialised by the caller):
    // OPC_E_INVALID_PID when the tag does not have it, E_OUTOFMEMORY.
    HRESULT Value(DWORD id, VARIANT& value) const;

    // The fastest update rate of the active groups that scan the tag
    // (OPCGroup::FastestRateOf), learnt without the configuration lock.
    void SetFastestGroupRate(std::optional<DWORD> rateMs) { m_groupRateMs = rateMs; }

    // Finds the tag of an item ID, under the configuration lock the caller
    // holds: S_OK, OPC_E_INVALIDITEMID for an ID no tag could have, or
    // OPC_E_UNKNOWNITEMID.
    static HRESULT FindTag(Configuration& configuration, std::wstring_view itemId, OPCS_Tag** tag);

private:
    // How often a client can see the value change.
    DWORD ScanRateMs() const;

    TagSettings m_settings;
    DWORD m_sourceMs = 0;  // how often the server itself changes the value; 0: only writes do
    DWORD m_pollMs = 0;    // the device's poll interval
    std::optional<DWORD> m_groupRateMs;
};
