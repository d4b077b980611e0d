#pragma once
// One connection point of an object: the sinks of one interface that clients
// advise. It is an object of its own (the container's connection points are
// not the container), made by the container and detached by it as the
// container's destruction begins; from then on it still answers its clients
// but no longer leads to the container.
//
// Sinks are called by the owner on a copy (Sinks, Sink), never under the
// point's lock; the point never calls a sink but to query it in Advise and to
// let it go, both outside its lock. A call that finds the client gone is
// reported with DropIfGone, which ends that connection at once; DropEnded
// ends those whose advising process has ended, called or not.
//
// A point is part of its container and is not counted as a client object of
// its own: a point a client still holds after its container has gone only
// refuses, and keeps no process alive. (Wine's IEnumConnectionPoints stub
// keeps a reference to every point it hands out.)
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>  // CONNECT_E_*
#include <wrl/client.h>

#include <atomic>
#include <functional>
#include <vector>

#include "ClientProcess.h"
#include "ComObject.h"
#include "CriticalSection.h"

class ConnectionPoint final : public ComObject<IConnectionPoint> {
public:
    // The container with one more reference for the caller, or null when it
    // is going.
    using ContainerSource = std::function<IConnectionPointContainer*()>;

    // At most `limit` connections (0: any number). The creator holds the one
    // reference; null when memory ran out.
    static ConnectionPoint* Create(REFIID sinkIid, size_t limit, ContainerSource container) noexcept;

    // The container is going: no more container for clients, and every
    // connection is let go (outside the lock).
    void Detach();

    // The advised sinks, each as the sink interface with a reference of its own.
    template <class Sink>
    std::vector<Microsoft::WRL::ComPtr<Sink>> Sinks();
    size_t ConnectionCount() const noexcept { return m_count.load(); }
    bool IsConnected() const noexcept { return m_count.load() != 0; }
    // The first connection's sink (as the sink interface) with a reference
    // for the caller, and its cookie; null when there is none.
    IUnknown* Sink(DWORD* cookie = nullptr);
    // After a failed call on the sink of `cookie`: a result that says the
    // client is gone drops the connection. True when it did.
    bool DropIfGone(DWORD cookie, HRESULT callResult);
    // Results of a call on a client whose process or connection is gone.
    static bool IsClientGone(HRESULT hr) noexcept;
    // Drops every connection whose advising client's process has ended; how many.
    size_t DropEnded();
    const IID& SinkIid() const noexcept { return m_sinkIid; }

    // IConnectionPoint
    STDMETHODIMP GetConnectionInterface(IID* pIID) override;
    STDMETHODIMP GetConnectionPointContainer(IConnectionPointContainer** ppCPC) override;
    STDMETHODIMP Advise(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHODIMP Unadvise(DWORD dwCookie) override;
    STDMETHODIMP EnumConnections(IEnumConnections** ppEnum) override;

private:
    struct Connection {
        DWORD cookie;
        Microsoft::WRL::ComPtr<IUnknown> sink;  // the sink interface, as queried in Advise
        ClientProcess client;                   // of the call that advised
    };

    ConnectionPoint(REFIID sinkIid, size_t limit, ContainerSource container);
    ~ConnectionPoint() override;
    std::vector<Microsoft::WRL::ComPtr<IUnknown>> SinkPointers();
    // Takes the connection of `cookie` out; its sink, or null.
    Microsoft::WRL::ComPtr<IUnknown> Take(DWORD cookie);

    const IID m_sinkIid;
    const size_t m_limit;
    CriticalSection m_lock;  // guards what follows
    ContainerSource m_container;
    std::vector<Connection> m_connections;
    std::atomic<size_t> m_count{0};  // m_connections.size(), read without the lock
    DWORD m_nextCookie = 1;
};

template <class Sink>
std::vector<Microsoft::WRL::ComPtr<Sink>> ConnectionPoint::Sinks() {
    std::vector<Microsoft::WRL::ComPtr<Sink>> sinks;
    for (auto& pointer : SinkPointers()) {
        // Advise stored what the sink gave for the sink interface.
        sinks.emplace_back(static_cast<Sink*>(static_cast<void*>(pointer.Get())));
    }
    return sinks;
}
