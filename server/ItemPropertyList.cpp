#include "ItemPropertyList.h"

#include <algorithm>
#include <new>
#include <vector>

#include "OpcConstants.h"
#include "TaskMem.h"

void FillItemProperties(const TagProperties& properties, bool all, const DWORD* ids, DWORD count, bool values,
                        OPCITEMPROPERTIES& out) {
    out = OPCITEMPROPERTIES{};
    std::vector<ItemProperty> available;
    try {
        available = properties.Available();
    } catch (const std::bad_alloc&) {
        out.hrErrorID = E_OUTOFMEMORY;
        return;
    }
    const DWORD entries = all ? static_cast<DWORD>(available.size()) : count;
    if (entries == 0) return;
    OPCITEMPROPERTY* list = TaskAllocArray<OPCITEMPROPERTY>(entries);
    if (list == nullptr) {
        out.hrErrorID = E_OUTOFMEMORY;
        return;
    }
    out.pItemProperties = list;
    out.dwNumProperties = entries;
    HRESULT result = S_OK;
    for (DWORD i = 0; i < entries; ++i) {
        OPCITEMPROPERTY& entry = list[i];
        entry.dwPropertyID = all ? available[i].id : ids[i];
        const auto found = std::find_if(available.begin(), available.end(),
                                        [&entry](const ItemProperty& p) { return p.id == entry.dwPropertyID; });
        if (found == available.end()) {
            entry.hrErrorID = OPC_E_INVALID_PID;
            result = S_FALSE;
            continue;
        }
        entry.vtDataType = found->type;
        entry.szDescription = TaskStrDup(found->description);
        entry.hrErrorID = entry.szDescription != nullptr ? S_OK : E_OUTOFMEMORY;
        if (values && entry.hrErrorID == S_OK) entry.hrErrorID = properties.Value(entry.dwPropertyID, entry.vValue);
        if (FAILED(entry.hrErrorID)) result = S_FALSE;
    }
    out.hrErrorID = result;
}

void FreeItemProperties(OPCITEMPROPERTIES& properties) noexcept {
    for (DWORD i = 0; i < properties.dwNumProperties && properties.pItemProperties != nullptr; ++i) {
        OPCITEMPROPERTY& entry = properties.pItemProperties[i];
        CoTaskMemFree(entry.szItemID);
        CoTaskMemFree(entry.szDescription);
        VariantClear(&entry.vValue);
    }
    CoTaskMemFree(properties.pItemProperties);
    properties = OPCITEMPROPERTIES{};
}
