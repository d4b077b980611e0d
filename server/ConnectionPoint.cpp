#include "ConnectionPoint.h"

#include <new>
#include <utility>
#include <vector>

namespace {
// The two enumerators of connection points and connections: a snapshot of
// referenced elements. CONNECTDATA and IConnectionPoint* differ only in how
// an element is referenced.
inline IUnknown* Referenced(IConnectionPoint* p) { return p; }
inline IUnknown* Referenced(const CONNECTDATA& d) { return d.pUnk; }
inline const IID& EnumIid(IEnumConnectionPoints*) { return IID_IEnumConnectionPoints; }
inline const IID& EnumIid(IEnumConnections*) { return IID_IEnumConnections; }

template <class Enum, class Element>
class SnapshotEnum final : public Enum {
public:
    explicit SnapshotEnum(std::vector<Element> elements, size_t at = 0) : elements_(std::move(elements)), at_(at) {
        for (Element& e : elements_) Referenced(e)->AddRef();
    }
    ~SnapshotEnum() {
        for (Element& e : elements_) Referenced(e)->Release();
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == EnumIid(static_cast<Enum*>(nullptr))) {
            *ppv = static_cast<Enum*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG left = --refs_;
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP Next(ULONG count, Element* out, ULONG* fetched) override {
        if (out == nullptr || (count != 1 && fetched == nullptr)) return E_POINTER;
        ULONG n = 0;
        for (; n < count && at_ < elements_.size(); ++n, ++at_) {
            out[n] = elements_[at_];
            Referenced(out[n])->AddRef();
        }
        if (fetched != nullptr) *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    STDMETHODIMP Skip(ULONG count) override {
        const size_t left = elements_.size() - at_;
        at_ += count < left ? count : left;
        return count <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        at_ = 0;
        return S_OK;
    }
    STDMETHODIMP Clone(Enum** ppEnum) override {
        if (ppEnum == nullptr) return E_POINTER;
        *ppEnum = nullptr;
        try {
            *ppEnum = new SnapshotEnum(elements_, at_);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

private:
    std::atomic<LONG> refs_{1};
    std::vector<Element> elements_;
    size_t at_;
};
}  // namespace

HRESULT NewPointEnumerator(IConnectionPoint* point, IEnumConnectionPoints** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    try {
        *ppEnum = new SnapshotEnum<IEnumConnectionPoints, IConnectionPoint*>({point});
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return S_OK;
}

ConnectionPoint::~ConnectionPoint() { Disconnect(); }

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

STDMETHODIMP ConnectionPoint::GetConnectionInterface(IID* pIID) {
    if (pIID == nullptr) return E_POINTER;
    *pIID = iid_;
    return S_OK;
}

STDMETHODIMP ConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC) {
    if (ppCPC == nullptr) return E_POINTER;
    return outer_->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(ppCPC));
}

STDMETHODIMP ConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie) {
    if (pdwCookie == nullptr) return E_POINTER;
    *pdwCookie = 0;
    if (pUnkSink == nullptr) return E_POINTER;
    if (connected_.load()) return CONNECT_E_ADVISELIMIT;
    // Asking the client is a call into it: never under the lock.
    IUnknown* sink = nullptr;
    if (FAILED(pUnkSink->QueryInterface(iid_, reinterpret_cast<void**>(&sink))) || sink == nullptr) {
        return CONNECT_E_CANNOTCONNECT;
    }
    {
        ScopedLock guard(lock_);
        if (sink_ == nullptr) {
            sink_ = sink;
            cookie_ = ++lastCookie_;
            if (cookie_ == 0) cookie_ = ++lastCookie_;
            *pdwCookie = cookie_;
            connected_.store(true);
            return S_OK;
        }
    }
    sink->Release();  // another Advise came first
    return CONNECT_E_ADVISELIMIT;
}

IUnknown* ConnectionPoint::Take(DWORD cookie) {
    ScopedLock guard(lock_);
    if (sink_ == nullptr || cookie != cookie_) return nullptr;
    IUnknown* sink = std::exchange(sink_, nullptr);
    cookie_ = 0;
    connected_.store(false);
    return sink;
}

STDMETHODIMP ConnectionPoint::Unadvise(DWORD dwCookie) {
    IUnknown* sink = dwCookie != 0 ? Take(dwCookie) : nullptr;
    if (sink == nullptr) return CONNECT_E_NOCONNECTION;
    sink->Release();
    return S_OK;
}

STDMETHODIMP ConnectionPoint::EnumConnections(IEnumConnections** ppEnum) {
    if (ppEnum == nullptr) return E_POINTER;
    *ppEnum = nullptr;
    std::vector<CONNECTDATA> connections;
    DWORD cookie = 0;
    IUnknown* sink = Sink(&cookie);
    try {
        if (sink != nullptr) connections.push_back(CONNECTDATA{sink, cookie});
        *ppEnum = new SnapshotEnum<IEnumConnections, CONNECTDATA>(std::move(connections));
    } catch (const std::bad_alloc&) {
        if (sink != nullptr) sink->Release();
        return E_OUTOFMEMORY;
    }
    if (sink != nullptr) sink->Release();  // the enumerator holds its own
    return S_OK;
}

IUnknown* ConnectionPoint::Sink(DWORD* cookie) {
    ScopedLock guard(lock_);
    if (cookie != nullptr) *cookie = cookie_;
    if (sink_ != nullptr) sink_->AddRef();
    return sink_;
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

bool ConnectionPoint::DropIfGone(DWORD cookie, HRESULT callResult) {
    if (!IsClientGone(callResult)) return false;
    IUnknown* sink = Take(cookie);
    if (sink == nullptr) return false;
    // The proxy of a dead client answers its Release at once.
    sink->Release();
    return true;
}

void ConnectionPoint::Disconnect() {
    IUnknown* sink = nullptr;
    {
        ScopedLock guard(lock_);
        sink = std::exchange(sink_, nullptr);
        cookie_ = 0;
        connected_.store(false);
    }
    if (sink != nullptr) sink->Release();
}
