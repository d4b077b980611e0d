#include "ItemGroup.h"

#include "Console.h"
#include "ErrorText.h"

ItemGroup::~ItemGroup() {
    if (!management_) return;
    management_.Reset();
    server_->RemoveGroup(group_, TRUE);
}

void ItemGroup::Abandon() {
    management_.Detach();  // a proxy whose server is gone: releasing it could wait on the dead peer
    group_ = 0;
}

HRESULT ItemGroup::Create(const std::vector<std::wstring>& itemIds, bool active, DWORD updateRateMs) {
    items_.clear();
    for (const std::wstring& id : itemIds) items_.push_back(GroupItem{id});
    DWORD revisedRate = 0;  // [out] pointers are never null through a proxy
    HRESULT hr = server_->AddGroup(L"", active ? TRUE : FALSE, updateRateMs, 1, nullptr, nullptr, 0, &group_,
                                   &revisedRate, IID_IOPCItemMgt,
                                   reinterpret_cast<LPUNKNOWN*>(management_.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!management_) return E_NOINTERFACE;
    if (items_.empty()) return S_OK;
    std::vector<OPCITEMDEF> defs(items_.size());
    for (size_t i = 0; i < items_.size(); ++i) {
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = const_cast<LPWSTR>(items_[i].id.c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
        defs[i].vtRequestedDataType = VT_EMPTY;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = management_->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    if (FAILED(hr)) {
        for (GroupItem& item : items_) item.added = hr;
    } else if (results != nullptr && errors != nullptr) {
        for (size_t i = 0; i < items_.size(); ++i) {
            items_[i].added = errors[i];
            if (SUCCEEDED(errors[i])) {
                items_[i].serverHandle = results[i].hServer;
                items_[i].canonicalType = results[i].vtCanonicalDataType;
                items_[i].accessRights = results[i].dwAccessRights;
            }
            CoTaskMemFree(results[i].pBlob);
        }
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return FAILED(hr) ? hr : S_OK;
}

bool ItemGroup::CreateOrReport(const std::vector<std::wstring>& itemIds, bool active, DWORD updateRateMs) {
    const HRESULT hr = Create(itemIds, active, updateRateMs);
    if (SUCCEEDED(hr)) return true;
    PrintError("the server refused a group: " + ResultText(hr));
    if (IsConnectionLost(hr)) Abandon();
    return false;
}
