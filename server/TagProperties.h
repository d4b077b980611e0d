#pragma once
// The item properties of one tag as IOPCItemProperties gives them: the
// standard ones, and the tag's own settings as ids from 5000. Everything is
// read from the tag in one visit, so that the values of one call agree.
#include <windows.h>
#include <oaidl.h>

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

    // Finds the tag of an item ID, under the configuration lock the caller
    // holds: S_OK, OPC_E_INVALIDITEMID for an ID no tag could have, or
    // OPC_E_UNKNOWNITEMID.
    static HRESULT FindTag(Configuration& configuration, std::wstring_view itemId, OPCS_Tag** tag);

private:
    TagSettings m_settings;
    DWORD m_scanRateMs = 0;
};
