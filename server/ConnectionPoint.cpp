#include "ConnectionPoint.h"

#include <olectl.h>

#include <new>

#include "EnumSnapshot.h"

using Microsoft::WRL::ComPtr;

ConnectionPoint* ConnectionPoint::Create(REFIID sinkIid, size_t limit, ContainerSource container) noexcept {
    ConnectionPoint* point = nullptr;
    try {
        point = new ConnectionPoint(sinkIid, limit, std::move(container));
    } catch (...) {
        return nullptr;
    }
    point->AddRef();
    return point;
}

ConnectionPoint::ConnectionPoint(REFIID sinkIid, size_t limit, ContainerSource container)
    : sinkIid_(sinkIid), limit_(limit), container_(std::move(container)) {}

ConnectionPoint::~ConnectionPoint() = default;

void ConnectionPoint::Detach() {
    std::vector<Connection> gone;
    {
        ScopedLock guard(lock_);
        container_ = nullptr;
        gone.swap(connections_);
    }
    // `gone` releases the sinks here, outside the lock: a remote sink's
    // release is a call into its client.
}

std::vector<ComPtr<IUnknown>> ConnectionPoint::SinkPointers() {
    std::vector<ComPtr<IUnknown>> sinks;
    ScopedLock guard(lock_);
    sinks.reserve(connections_.size());
    for (const Connection& connection : connections_) sinks.push_back(connection.sink);
    return sinks;
}

size_t ConnectionPoint::ConnectionCount() {
    ScopedLock guard(lock_);
    return connections_.size();
}

// IUnknown ------------------------------------------------------------------

STDMETHODIMP ConnectionPoint::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IConnectionPoint) {
        *ppv = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) ConnectionPoint::AddRef() { return static_cast<ULONG>(++refs_); }

STDMETHODIMP_(ULONG) ConnectionPoint::Release() {
    LONG count = refs_.load();
    for (;;) {
        if (count <= 0) return 0;  // a release too many: nothing left to give back
        if (refs_.compare_exchange_weak(count, count - 1)) break;
    }
    if (count == 1) {
        delete this;
        return 0;
    }
    return static_cast<ULONG>(count - 1);
}

// IConnectionPoint ----------------------------------------------------------

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (pIID == nullptr) return E_POINTER;
    *pIID = sinkIid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (ppCPC == nullptr) return E_POINTER;
    ScopedLock guard(lock_);
    *ppCPC = container_ ? container_() : nullptr;
    return *ppCPC != nullptr ? S_OK : E_UNEXPECTED;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (pdwCookie == nullptr) return E_POINTER;
    *pdwCookie = 0;
    if (pUnkSink == nullptr) return E_POINTER;
    // Asked before the lock is taken: a remote sink answers from its process.
    ComPtr<IUnknown> sink;
    if (FAILED(pUnkSink->QueryInterface(sinkIid_, reinterpret_cast<void**>(sink.GetAddressOf()))) || !sink) {
        return CONNECT_E_CANNOTCONNECT;
    }
    {
        ScopedLock guard(lock_);
        if (!container_) return E_UNEXPECTED;  // `sink` goes below, outside the lock
        if (limit_ != 0 && connections_.size() >= limit_) return CONNECT_E_ADVISELIMIT;
        try {
            connections_.push_back(Connection{nextCookie_, sink});
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        *pdwCookie = nextCookie_++;
        if (nextCookie_ == 0) nextCookie_ = 1;
    }
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD dwCookie) {
    ComPtr<IUnknown> gone;
    {
        ScopedLock guard(lock_);
        for (auto it = connections_.begin(); it != connections_.end(); ++it) {
            if (it->cookie == dwCookie) {
                gone = std::move(it->sink);
                connections_.erase(it);
                break;
            }
        }
    }
    return gone ? S_OK : CONNECT_E_NOCONNECTION;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    std::vector<ConnectionEnumTraits::Stored> entries;
    try {
        ScopedLock guard(lock_);
        entries.reserve(connections_.size());
        for (const Connection& connection : connections_) entries.push_back({connection.sink, connection.cookie});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return ConnectionEnumerator::Create(std::move(entries), ppEnum);
}
