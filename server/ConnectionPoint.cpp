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
    : ComObject(0), m_sinkIid(sinkIid), m_limit(limit), m_container(std::move(container)) {}

ConnectionPoint::~ConnectionPoint() = default;

void ConnectionPoint::Detach() {
    std::vector<Connection> gone;
    {
        ScopedLock guard(m_lock);
        m_container = nullptr;
        gone.swap(m_connections);
        m_count.store(0);
    }
    // `gone` releases the sinks here, outside the lock: a remote sink's
    // release is a call into its client.
}

std::vector<ComPtr<IUnknown>> ConnectionPoint::SinkPointers() {
    std::vector<ComPtr<IUnknown>> sinks;
    ScopedLock guard(m_lock);
    sinks.reserve(m_connections.size());
    for (const Connection& connection : m_connections) sinks.push_back(connection.sink);
    return sinks;
}

IUnknown* ConnectionPoint::Sink(DWORD* cookie) {
    ScopedLock guard(m_lock);
    if (cookie != nullptr) *cookie = m_connections.empty() ? 0 : m_connections.front().cookie;
    if (m_connections.empty()) return nullptr;
    IUnknown* sink = m_connections.front().sink.Get();
    sink->AddRef();
    return sink;
}

ComPtr<IUnknown> ConnectionPoint::Take(DWORD cookie) {
    ComPtr<IUnknown> gone;
    ScopedLock guard(m_lock);
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        if (it->cookie == cookie) {
            gone = std::move(it->sink);
            m_connections.erase(it);
            m_count.store(m_connections.size());
            break;
        }
    }
    return gone;
}

bool ConnectionPoint::IsClientGone(HRESULT hr) noexcept {
    switch (static_cast<unsigned long>(hr)) {
    case 0x800706BAUL:  // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BEUL:  // RPC_S_CALL_FAILED
    case 0x800706BFUL:  // RPC_S_CALL_FAILED_DNE
    case 0x80010108UL:  // RPC_E_DISCONNECTED
    case 0x800401FDUL:  // CO_E_OBJNOTCONNECTED
    case 0x80010007UL:  // RPC_E_SERVER_DIED
    case 0x80010012UL:  // RPC_E_SERVER_DIED_DNE
        return true;
    default: return false;
    }
}

size_t ConnectionPoint::DropEnded() {
    std::vector<Connection> gone;
    {
        ScopedLock guard(m_lock);
        gone = TakeEndedClients(m_connections);
        m_count.store(m_connections.size());
    }
    return gone.size();  // `gone` lets the sinks go outside the lock
}

bool ConnectionPoint::DropIfGone(DWORD cookie, HRESULT callResult) {
    // The proxy of a dead client answers the release at once, outside the lock.
    return IsClientGone(callResult) && Take(cookie) != nullptr;
}

// IConnectionPoint ----------------------------------------------------------

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (pIID == nullptr) return E_POINTER;
    *pIID = m_sinkIid;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (ppCPC == nullptr) return E_POINTER;
    ScopedLock guard(m_lock);
    *ppCPC = m_container ? m_container() : nullptr;
    return *ppCPC != nullptr ? S_OK : E_UNEXPECTED;
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (pdwCookie == nullptr) return E_POINTER;
    *pdwCookie = 0;
    if (pUnkSink == nullptr) return E_POINTER;
    // Asked before the lock is taken: a remote sink answers from its process.
    ComPtr<IUnknown> sink;
    if (FAILED(pUnkSink->QueryInterface(m_sinkIid, reinterpret_cast<void**>(sink.GetAddressOf()))) || !sink) {
        return CONNECT_E_CANNOTCONNECT;
    }
    const ClientProcess client = ClientProcess::OfCaller();
    {
        ScopedLock guard(m_lock);
        if (!m_container) return E_UNEXPECTED;  // `sink` goes below, outside the lock
        if (m_limit != 0 && m_connections.size() >= m_limit) return CONNECT_E_ADVISELIMIT;
        try {
            m_connections.push_back(Connection{m_nextCookie, sink, client});
            m_count.store(m_connections.size());
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        *pdwCookie = m_nextCookie++;
        if (m_nextCookie == 0) m_nextCookie = 1;
    }
    return S_OK;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD dwCookie) {
    return Take(dwCookie) != nullptr ? S_OK : CONNECT_E_NOCONNECTION;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    std::vector<ConnectionEnumTraits::Stored> entries;
    try {
        ScopedLock guard(m_lock);
        entries.reserve(m_connections.size());
        for (const Connection& connection : m_connections) entries.push_back({connection.sink, connection.cookie});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return ConnectionEnumerator::Create(std::move(entries), ppEnum);
}
