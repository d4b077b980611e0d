#pragma once
// A connection point that takes one sink of one interface: a part of its
// container object, whose reference count it shares, so that a client that
// holds the point holds the container and no cycle of references arises.
// The sink is called by the container without any lock: it takes a
// referenced sink from Sink() and calls it, and reports a call that found
// the client gone with DropIfGone.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>  // CONNECT_E_*
#include <atomic>

#include "CriticalSection.h"

class ConnectionPoint final : public IConnectionPoint {
public:
    // `outer` is the container's controlling IUnknown; `iid` the sink's interface.
    ConnectionPoint(IUnknown* outer, const IID& iid) noexcept : outer_(outer), iid_(iid) {}
    ~ConnectionPoint();
    ConnectionPoint(const ConnectionPoint&) = delete;
    ConnectionPoint& operator=(const ConnectionPoint&) = delete;

    // IUnknown (the count is the container's)
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return outer_->AddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_->Release(); }

    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* pIID) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

    const IID& Interface() const noexcept { return iid_; }
    bool IsConnected() const noexcept { return connected_.load(); }
    // The sink with a reference for the caller, and its cookie; null when none.
    IUnknown* Sink(DWORD* cookie = nullptr);
    // After a failed call on the sink of `cookie`: a result that says the
    // client is gone drops the connection at once. True when it did.
    bool DropIfGone(DWORD cookie, HRESULT callResult);
    // Lets go of the sink (the container's destruction).
    void Disconnect();

    // Results of a call on a client whose process or connection is gone.
    static bool IsClientGone(HRESULT hr) noexcept;

private:
    // Takes the sink out if it is the connection of `cookie`; the caller releases it.
    IUnknown* Take(DWORD cookie);

    IUnknown* const outer_;
    const IID iid_;
    CriticalSection lock_;  // guards sink_ and cookie_; never held across a client call
    IUnknown* sink_ = nullptr;
    DWORD cookie_ = 0;
    DWORD lastCookie_ = 0;
    std::atomic<bool> connected_{false};
};

// IEnumConnectionPoints over one point.
HRESULT NewPointEnumerator(IConnectionPoint* point, IEnumConnectionPoints** ppEnum);
