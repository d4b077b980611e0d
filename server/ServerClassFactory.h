#pragma once
// The class factory of the OPC server: every client connection begins here.
#include <windows.h>
#include <objbase.h>
#include <functional>

#include "ComObject.h"

// Makes one new server object and gives it with one reference. The object
// posts the client-object message "one fewer" when it is destroyed; the
// factory posts "one more" for it.
using ServerObjectCreator = std::function<HRESULT(IUnknown** object)>;

class ServerClassFactory final : public ComObject<IClassFactory> {
public:
    // A new factory with one reference, owned by the caller.
    static ServerClassFactory* Create(ServerObjectCreator creator);

    // Aggregation is refused; E_OUTOFMEMORY when no object can be made;
    // CO_E_SERVER_STOPPING once the process is closed to clients.
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    // Counts as one client object while locked.
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    explicit ServerClassFactory(ServerObjectCreator creator) noexcept : ComObject(1), m_creator(std::move(creator)) {}
    ~ServerClassFactory() override = default;

    ServerObjectCreator m_creator;
};
