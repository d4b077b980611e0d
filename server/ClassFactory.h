#pragma once
// The class factory of the OPC server: every client connection begins here.
#include <windows.h>
#include <objbase.h>
#include <atomic>
#include <functional>

// Makes one new server object and gives it with one reference. The object
// posts the client-object message "one fewer" when it is destroyed; the
// factory posts "one more" for it.
using ServerObjectCreator = std::function<HRESULT(IUnknown** object)>;

class ServerClassFactory final : public IClassFactory {
public:
    // A new factory with one reference, owned by the caller.
    static ServerClassFactory* Create(ServerObjectCreator creator);

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // Aggregation is refused; E_OUTOFMEMORY when no object can be made;
    // CO_E_SERVER_STOPPING once the process is closed to clients.
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    // Counts as one client object while locked.
    STDMETHODIMP LockServer(BOOL lock) override;

private:
    explicit ServerClassFactory(ServerObjectCreator creator) noexcept : creator_(std::move(creator)) {}
    ~ServerClassFactory() = default;

    ServerObjectCreator creator_;
    std::atomic<ULONG> references_{1};
};
