#include "InterfaceAnchors.h"

#include <ocidl.h>

#include "OpcDa.h"

namespace {
// The object behind every anchored stub. Its marshalled references never
// leave the process, so no client can reach it: its methods beyond IUnknown
// exist only so that a stub may hold it, and refuse. It lives for the whole
// process (static), so its reference count is not kept.
constexpr size_t kMostMethods = 16;  // IDataObject, the widest, has 12

struct AnchorObject {
    const void* const* vtable;
};

HRESULT STDMETHODCALLTYPE AnchorQueryInterface(AnchorObject* self, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    for (const IID& iid : InterfaceAnchors::Interfaces()) {
        if (IsEqualIID(riid, iid)) {
            *object = self;
            return S_OK;
        }
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE AnchorAddRef(AnchorObject*) { return 2; }
ULONG STDMETHODCALLTYPE AnchorRelease(AnchorObject*) { return 1; }
HRESULT STDMETHODCALLTYPE AnchorRefuse(AnchorObject*) { return E_NOTIMPL; }

struct AnchorVtable {
    const void* slots[kMostMethods];
    AnchorVtable() {
        slots[0] = reinterpret_cast<const void*>(&AnchorQueryInterface);
        slots[1] = reinterpret_cast<const void*>(&AnchorAddRef);
        slots[2] = reinterpret_cast<const void*>(&AnchorRelease);
        for (size_t i = 3; i < kMostMethods; ++i) slots[i] = reinterpret_cast<const void*>(&AnchorRefuse);
    }
};

IUnknown* Anchor() {
    static const AnchorVtable vtable;
    static AnchorObject object{vtable.slots};
    return reinterpret_cast<IUnknown*>(&object);
}
}  // namespace

const std::vector<IID>& InterfaceAnchors::Interfaces() {
    // The class factory is among them: a registered class object is marshalled
    // afresh for each activation, and that stub goes when the client lets go
    // of the factory, at every connection.
    static const std::vector<IID> interfaces = {
        IID_IClassFactory,
        IID_IUnknown,
        IID_IOPCServer,
        IID_IOPCBrowseServerAddressSpace,
        IID_IOPCGroupStateMgt,
        IID_IOPCPublicGroupStateMgt,
        IID_IOPCItemMgt,
        IID_IOPCSyncIO,
        IID_IOPCAsyncIO,
        IID_IDataObject,
        IID_IEnumOPCItemAttributes,
        IID_IEnumString,
        IID_IEnumUnknown,
        IID_IEnumSTATDATA,
        IID_IOPCCommon,
        IID_IOPCItemProperties,
        IID_IConnectionPointContainer,
        IID_IConnectionPoint,
        IID_IEnumConnections,
        IID_IEnumConnectionPoints,
        IID_IOPCAsyncIO2,
    };
    return interfaces;
}

size_t InterfaceAnchors::Hold() {
    for (const IID& iid : Interfaces()) {
        IStream* stream = nullptr;
        if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) continue;
        if (FAILED(CoMarshalInterface(stream, iid, Anchor(), MSHCTX_LOCAL, nullptr, MSHLFLAGS_TABLESTRONG))) {
            stream->Release();
            continue;
        }
        m_marshalled.push_back(stream);
    }
    return m_marshalled.size();
}

void InterfaceAnchors::Release() noexcept {
    for (IStream* stream : m_marshalled) {
        const LARGE_INTEGER start{};
        if (SUCCEEDED(stream->Seek(start, STREAM_SEEK_SET, nullptr))) {
            CoReleaseMarshalData(stream);
        }
        stream->Release();
    }
    m_marshalled.clear();
}
