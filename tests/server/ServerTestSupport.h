#pragma once
// A real configuration with a real tree, server objects made the way the class
// factory makes them, and helpers that read enumerators back.
#include <windows.h>
#include <objbase.h>
#include <wrl/client.h>

#include <string>
#include <utility>
#include <vector>

#include "ClientObjects.h"
#include "Configuration.h"
#include "MessageBoxes.h"
#include "OPCServer.h"
#include "OpcDa.h"
#include "TagDbFixtures.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"

using Microsoft::WRL::ComPtr;

inline ToviDevice* NewDevice(const std::wstring& name) {
    auto* device = new ToviDevice;
    device->Rename(name);
    return device;
}

inline ToviTag* NewTag(const std::wstring& name, VARTYPE type, bool readWrite) {
    ToviTag* tag = NewTag(name);
    tag->SetDataType(type);
    tag->SetAccessMode(readWrite ? 1 : 0);
    return tag;
}

// The configuration every browsing test walks:
//   Pump1: tags Flow (R8 rw), Speed (I4 ro), Running (BOOL rw), Label (BSTR ro),
//          Code (UI1 rw), Level (I2 ro), Ratio (R4 rw);
//          groups Motor (tags Current R8 ro, Temp R4 rw; group Bearings (tag Vibration R8 ro)),
//                 Valves (group Inlet (tag Open BOOL rw))
//   Boiler: group Burner (tag Pressure R8 rw)
//   Empty
class ConfiguredDocument {
public:
    ConfiguredDocument() {
        SetMessageBoxHandler([](const std::wstring&, const std::wstring&, UINT style) { return DefaultAnswer(style); });
        pump = AddDevice(L"Pump1");
        flow = AddTag(pump, L"Flow", VT_R8, true);
        AddTag(pump, L"Speed", VT_I4, false);
        AddTag(pump, L"Running", VT_BOOL, true);
        AddTag(pump, L"Label", VT_BSTR, false);
        AddTag(pump, L"Code", VT_UI1, true);
        AddTag(pump, L"Level", VT_I2, false);
        AddTag(pump, L"Ratio", VT_R4, true);
        motor = AddGroup(pump, L"Motor");
        AddTag(motor, L"Current", VT_R8, false);
        AddTag(motor, L"Temp", VT_R4, true);
        bearings = AddGroup(motor, L"Bearings");
        vibration = AddTag(bearings, L"Vibration", VT_R8, false);
        valves = AddGroup(pump, L"Valves");
        inlet = AddGroup(valves, L"Inlet");
        AddTag(inlet, L"Open", VT_BOOL, true);
        boiler = AddDevice(L"Boiler");
        burner = AddGroup(boiler, L"Burner");
        AddTag(burner, L"Pressure", VT_R8, true);
        empty = AddDevice(L"Empty");
    }
    ~ConfiguredDocument() { SetMessageBoxHandler({}); }

    ToviDevice* AddDevice(const std::wstring& name) {
        ToviDevice* device = NewDevice(name);
        return doc.AddDevice(device) ? device : nullptr;
    }
    ToviTagGroup* AddGroup(OPCS_TagGroup* parent, const std::wstring& name) {
        ToviTagGroup* group = NewGroup(name);
        if (doc.AddGroupTo(parent, group)) return group;
        delete group;
        return nullptr;
    }
    ToviTag* AddTag(OPCS_TagGroup* parent, const std::wstring& name, VARTYPE type, bool readWrite) {
        ToviTag* tag = NewTag(name, type, readWrite);
        if (doc.AddTagTo(parent, tag)) return tag;
        delete tag;
        return nullptr;
    }

    Configuration doc;
    ToviDevice* pump = nullptr;
    ToviDevice* boiler = nullptr;
    ToviDevice* empty = nullptr;
    ToviTagGroup* motor = nullptr;
    ToviTagGroup* bearings = nullptr;
    ToviTagGroup* valves = nullptr;
    ToviTagGroup* inlet = nullptr;
    ToviTagGroup* burner = nullptr;
    ToviTag* flow = nullptr;
    ToviTag* vibration = nullptr;
};

// A server object as the class factory hands it out: one reference, the client's.
inline ComPtr<IOPCServer> NewServer(Configuration& configuration) {
    ComPtr<IOPCServer> server;
    auto* object = new OPCServer(configuration);
    if (FAILED(object->QueryInterface(IID_PPV_ARGS(&server)))) delete object;
    return server;
}

// Adds items by (item ID, requested type), client handles 1, 2, ...; their
// server handles in order, or none when the call did not give S_OK.
inline std::vector<OPCHANDLE> AddItemsOf(IOPCItemMgt* mgt, const std::vector<std::pair<LPCWSTR, VARTYPE>>& items,
                                         BOOL active) {
    std::vector<OPCITEMDEF> defs;
    for (size_t i = 0; i < items.size(); ++i) {
        OPCITEMDEF d{};
        d.szItemID = const_cast<LPWSTR>(items[i].first);
        d.bActive = active;
        d.hClient = static_cast<OPCHANDLE>(i + 1);
        d.vtRequestedDataType = items[i].second;
        defs.push_back(d);
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    std::vector<OPCHANDLE> handles;
    if (mgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), &results, &errors) == S_OK) {
        for (size_t i = 0; i < items.size(); ++i) handles.push_back(results[i].hServer);
    }
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    return handles;
}

inline ComPtr<IOPCBrowseServerAddressSpace> BrowserOf(const ComPtr<IOPCServer>& server) {
    ComPtr<IOPCBrowseServerAddressSpace> browser;
    server.As(&browser);
    return browser;
}

// Every string an enumerator still has, one Next at a time, freed as read.
inline std::vector<std::wstring> ReadAll(IEnumString* enumerator) {
    std::vector<std::wstring> names;
    for (;;) {
        LPOLESTR text = nullptr;
        ULONG fetched = 0;
        const HRESULT hr = enumerator->Next(1, &text, &fetched);
        if (fetched == 1) {
            names.emplace_back(text);
            CoTaskMemFree(text);
        }
        if (hr != S_OK) break;
    }
    return names;
}

inline std::vector<std::wstring> Browse(IOPCBrowseServerAddressSpace* browser, OPCBROWSETYPE type,
                                        LPCWSTR criteria = L"", VARTYPE dataType = VT_EMPTY, DWORD rights = 0) {
    ComPtr<IEnumString> enumerator;
    if (FAILED(browser->BrowseOPCItemIDs(type, criteria, dataType, rights, &enumerator)) || !enumerator) {
        return {L"<failed>"};
    }
    return ReadAll(enumerator.Get());
}

using Names = std::vector<std::wstring>;

// A message-only window that collects the client-object messages posted to it.
class ClientObjectMessages {
public:
    ClientObjectMessages() {
        m_window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetClientObjectWindow(m_window);
    }
    ~ClientObjectMessages() {
        SetClientObjectWindow(nullptr);
        DestroyWindow(m_window);
    }
    bool IsReady() const { return m_window != nullptr; }
    // Takes what has arrived so far: (one more, one fewer).
    std::pair<int, int> Drain() {
        MSG msg;
        while (PeekMessageW(&msg, m_window, kClientObjectMessage, kClientObjectMessage, PM_REMOVE)) {
            (msg.wParam == kClientObjectMore ? m_more : m_fewer)++;
        }
        return {m_more, m_fewer};
    }

private:
    HWND m_window = nullptr;
    int m_more = 0;
    int m_fewer = 0;
};
