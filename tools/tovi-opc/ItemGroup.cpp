#include "ItemGroup.h"

#include "Console.h"
#include "ErrorText.h"

ItemGroup::~ItemGroup() {
    if (!m_management) return;
    m_management.Reset();
    m_server->RemoveGroup(m_group, TRUE);
}

void ItemGroup::Abandon() {
    m_management.Detach();  // a proxy whose server is gone: releasing it could wait on the dead peer
    m_group = 0;
}

HRESULT ItemGroup::Create(const std::vector<std::wstring>& itemIds, bool active, DWORD updateRateMs) {
    m_items.clear();
    for (const std::wstring& id : itemIds) m_items.push_back(GroupItem{id});
    DWORD revisedRate = 0;  // [out] pointers are never null through a proxy
    HRESULT hr =
        m_server->AddGroup(L"", active ? TRUE : FALSE, updateRateMs, 1, nullptr, nullptr, 0, &m_group, &revisedRate,
                           IID_IOPCItemMgt, reinterpret_cast<LPUNKNOWN*>(m_management.GetAddressOf()));
    if (FAILED(hr)) return hr;
    if (!m_management) return E_NOINTERFACE;
    if (m_items.empty()) return S_OK;
    std::vector<OPCITEMDEF> defs(m_items.size());
    for (size_t i = 0; i < m_items.size(); ++i) {
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = const_cast<LPWSTR>(m_items[i].id.c_str());
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
        defs[i].vtRequestedDataType = VT_EMPTY;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    hr = m_management->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors);
    if (FAILED(hr)) {
        for (GroupItem& item : m_items) item.added = hr;
    } else if (results != nullptr && errors != nullptr) {
        for (size_t i = 0; i < m_items.size(); ++i) {
            m_items[i].added = errors[i];
            if (SUCCEEDED(errors[i])) {
                m_items[i].serverHandle = results[i].hServer;
                m_items[i].canonicalType = results[i].vtCanonicalDataType;
                m_items[i].accessRights = results[i].dwAccessRights;
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
