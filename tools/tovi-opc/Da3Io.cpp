#include "Da3Io.h"

#include "OpcConstants.h"

namespace {
std::vector<LPCWSTR> Pointers(const std::vector<std::wstring>& ids) {
    std::vector<LPCWSTR> pointers;
    for (const std::wstring& id : ids) pointers.push_back(id.c_str());
    return pointers;
}

// Takes over a read's four arrays, which a failed call may or may not have given.
HRESULT TakeReadResults(HRESULT hr, size_t count, VARIANT* values, WORD* qualities, FILETIME* times, HRESULT* errors,
                        std::vector<StreamItem>& items) {
    items.assign(count, StreamItem());
    const bool answered = values != nullptr && qualities != nullptr && times != nullptr && errors != nullptr;
    for (size_t i = 0; i < count; ++i) {
        if (!answered) {
            items[i].error = FAILED(hr) ? hr : E_FAIL;
        } else {
            items[i].error = errors[i];
            items[i].quality = qualities[i];
            items[i].timestamp = times[i];
            // The value moves over; the array's copy is left empty.
            items[i].value = values[i];
            VariantInit(&values[i]);
        }
        if (values != nullptr) VariantClear(&values[i]);
    }
    CoTaskMemFree(values);
    CoTaskMemFree(qualities);
    CoTaskMemFree(times);
    CoTaskMemFree(errors);
    return hr;
}

HRESULT TakeWriteResults(HRESULT hr, size_t count, HRESULT* results, std::vector<HRESULT>& errors) {
    errors.assign(count, FAILED(hr) ? hr : E_FAIL);
    if (results != nullptr) errors.assign(results, results + count);
    CoTaskMemFree(results);
    return hr;
}

void FreeProperties(OPCITEMPROPERTIES* properties, size_t count) {
    for (size_t i = 0; properties != nullptr && i < count; ++i) {
        for (DWORD k = 0; properties[i].pItemProperties != nullptr && k < properties[i].dwNumProperties; ++k) {
            CoTaskMemFree(properties[i].pItemProperties[k].szItemID);
            CoTaskMemFree(properties[i].pItemProperties[k].szDescription);
            VariantClear(&properties[i].pItemProperties[k].vValue);
        }
        CoTaskMemFree(properties[i].pItemProperties);
    }
    CoTaskMemFree(properties);
}
}  // namespace

HRESULT ReadByItemId(IOPCItemIO* io, const std::vector<std::wstring>& ids, DWORD maxAgeMs,
                     std::vector<StreamItem>& items) {
    std::vector<LPCWSTR> pointers = Pointers(ids);
    std::vector<DWORD> maxAges(ids.size(), maxAgeMs);
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr =
        io->Read(static_cast<DWORD>(ids.size()), pointers.data(), maxAges.data(), &values, &qualities, &times, &errors);
    return TakeReadResults(hr, ids.size(), values, qualities, times, errors, items);
}

HRESULT ReadMaxAge(IOPCSyncIO2* io, const std::vector<OPCHANDLE>& handles, DWORD maxAgeMs,
                   std::vector<StreamItem>& items) {
    std::vector<DWORD> maxAges(handles.size(), maxAgeMs);
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT hr = io->ReadMaxAge(static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()),
                                      maxAges.data(), &values, &qualities, &times, &errors);
    return TakeReadResults(hr, handles.size(), values, qualities, times, errors, items);
}

HRESULT WriteVqtByItemId(IOPCItemIO* io, const std::vector<std::wstring>& ids, std::vector<OPCITEMVQT>& vqts,
                         std::vector<HRESULT>& errors) {
    std::vector<LPCWSTR> pointers = Pointers(ids);
    HRESULT* results = nullptr;
    const HRESULT hr = io->WriteVQT(static_cast<DWORD>(ids.size()), pointers.data(), vqts.data(), &results);
    return TakeWriteResults(hr, ids.size(), results, errors);
}

HRESULT WriteVqtInGroup(IOPCSyncIO2* io, const std::vector<OPCHANDLE>& handles, std::vector<OPCITEMVQT>& vqts,
                        std::vector<HRESULT>& errors) {
    HRESULT* results = nullptr;
    const HRESULT hr =
        io->WriteVQT(static_cast<DWORD>(handles.size()), const_cast<OPCHANDLE*>(handles.data()), vqts.data(), &results);
    return TakeWriteResults(hr, handles.size(), results, errors);
}

HRESULT CanonicalTypes(IOPCBrowse* browse, const std::vector<std::wstring>& ids, std::vector<VARTYPE>& types,
                       std::vector<HRESULT>& errors) {
    std::vector<LPWSTR> pointers;
    for (const std::wstring& id : ids) pointers.push_back(const_cast<LPWSTR>(id.c_str()));
    DWORD property = OPC_PROPERTY_DATATYPE;
    OPCITEMPROPERTIES* properties = nullptr;
    const HRESULT hr =
        browse->GetProperties(static_cast<DWORD>(ids.size()), pointers.data(), TRUE, 1, &property, &properties);
    types.assign(ids.size(), VT_EMPTY);
    errors.assign(ids.size(), FAILED(hr) ? hr : E_FAIL);
    for (size_t i = 0; properties != nullptr && i < ids.size(); ++i) {
        const OPCITEMPROPERTIES& item = properties[i];
        errors[i] = FAILED(item.hrErrorID) ? item.hrErrorID : E_FAIL;
        if (FAILED(item.hrErrorID) || item.dwNumProperties != 1 || item.pItemProperties == nullptr) continue;
        const OPCITEMPROPERTY& type = item.pItemProperties[0];
        VARIANT number;
        VariantInit(&number);
        errors[i] = FAILED(type.hrErrorID)                                                              ? type.hrErrorID
                    : FAILED(VariantChangeType(&number, const_cast<VARIANT*>(&type.vValue), 0, VT_UI2)) ? OPC_E_BADTYPE
                                                                                                        : S_OK;
        if (SUCCEEDED(errors[i])) types[i] = V_UI2(&number);
    }
    FreeProperties(properties, ids.size());
    return hr;
}
