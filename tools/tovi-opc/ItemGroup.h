#pragma once
// A private group of items on a server for one command, removed again when
// the command ends.
#include <windows.h>
#include <wrl/client.h>
#include <string>
#include <vector>

#include "OpcDa.h"

using Microsoft::WRL::ComPtr;

struct GroupItem {
    std::wstring id;
    HRESULT added = E_FAIL;  // AddItems' result for it
    OPCHANDLE serverHandle = 0;
    VARTYPE canonicalType = VT_EMPTY;
    DWORD accessRights = 0;
};

class ItemGroup {
public:
    explicit ItemGroup(IOPCServer* server) : m_server(server) {}
    ~ItemGroup();
    ItemGroup(const ItemGroup&) = delete;
    ItemGroup& operator=(const ItemGroup&) = delete;

    // Adds the group and its items (client handle = index + 1); the group's
    // result. Items that the server refuses keep their own result.
    HRESULT Create(const std::vector<std::wstring>& itemIds, bool active, DWORD updateRateMs);
    // Create, telling the user why a refused group failed; false then.
    bool CreateOrReport(const std::vector<std::wstring>& itemIds, bool active, DWORD updateRateMs);
    std::vector<GroupItem>& Items() { return m_items; }
    IOPCItemMgt* Management() const { return m_management.Get(); }
    // Lets go of the group without calling the server (it is gone).
    void Abandon();

private:
    IOPCServer* m_server;
    ComPtr<IOPCItemMgt> m_management;
    OPCHANDLE m_group = 0;
    std::vector<GroupItem> m_items;
};
