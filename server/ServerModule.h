#pragma once
// The COM module of the process: its one class-object entry (the server's
// CLSID, its registration script, the class factory and the cookie of the
// factory's registration with COM).
#include <windows.h>
#include <objbase.h>

#include "ServerClassFactory.h"
#include "ServerIds.h"

class ServerModule {
public:
    explicit ServerModule(const CLSID& clsid = CLSID_ToviExplorerServer) noexcept : m_clsid(clsid) {}
    ~ServerModule() { Term(); }
    ServerModule(const ServerModule&) = delete;
    ServerModule& operator=(const ServerModule&) = delete;

    // Makes the class factory for objects of the creator; false when it cannot.
    bool Init(ServerObjectCreator creator);
    // Releases the class factory (revoking it first, should it still be registered).
    void Term();

    const CLSID& Clsid() const noexcept { return m_clsid; }
    // The script of the class and ProgID keys.
    UINT RegistryScript() const noexcept;
    // A new reference to the factory, or null before Init.
    IClassFactory* GetClassObject() const noexcept;

    // Offers the factory to clients of other processes; on the calling
    // thread's apartment, which must be the multithreaded one.
    HRESULT RegisterClassObject();
    void RevokeClassObject() noexcept;
    bool IsClassObjectRegistered() const noexcept { return m_cookie != 0; }

private:
    CLSID m_clsid;
    ServerClassFactory* m_factory = nullptr;
    DWORD m_cookie = 0;
};
