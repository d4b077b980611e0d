#include "CEnumItemIDs.h"

#include <new>

#include "ClientObjects.h"
#include "Device.h"
#include "Document.h"
#include "Tag.h"
#include "TaskMem.h"

namespace {
DWORD AccessRightsOf(OPCS_Tag* tag) {
    // Access mode 1 is read/write; every tag can be read.
    return OPC_READABLE | (tag->GetAccessMode() == 1 ? OPC_WRITEABLE : 0);
}
}  // namespace

HRESULT CEnumItemIDs::Create(const BrowsePosition& position, const BrowseFilter& filter, IEnumString** ppEnum) {
    *ppEnum = nullptr;
    CEnumItemIDs* enumerator = nullptr;
    try {
        enumerator = new CEnumItemIDs(position, filter);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    if (!enumerator->Fill()) {
        delete enumerator;
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = enumerator->QueryInterface(IID_IEnumString, reinterpret_cast<void**>(ppEnum));
    if (FAILED(hr)) {
        delete enumerator;
    }
    return hr;
}

CEnumItemIDs::CEnumItemIDs(const BrowsePosition& position, const BrowseFilter& filter)
    : position_(BrowsePosition::OnDelete::Lose, position), filter_(filter) {
    PostClientObjectMessage(true);
}

CEnumItemIDs::~CEnumItemIDs() { PostClientObjectMessage(false); }

bool CEnumItemIDs::Fill() {
    try {
        // The configuration lock keeps the position (and its children) alive
        // while the names are copied; deletions wait for it.
        ScopedLock configuration(ConfigurationLock());
        if (position_.IsLost()) {
            return true;
        }
        OPCS_TagGroup* group = position_.Group();
        if (group == nullptr) {
            OPCS_Doc* document = OPCS_Doc::Get();
            if (!filter_.WantsBranches() || document == nullptr) {
                return true;
            }
            Dll<OPCS_Device*> devices;
            document->CopyDeviceList(devices);
            for (OPCS_Device* device : devices) {
                if (!OPCS_TagGroup::IsValidGroup(device)) continue;
                std::wstring name = device->GetName();
                if (filter_.MatchesName(name)) names_.push_back(std::move(name));
            }
            return true;
        }
        if (!OPCS_TagGroup::IsValidGroup(group)) {
            return true;
        }
        ScopedLock guard(group->Lock());
        if (filter_.WantsBranches()) {
            for (OPCS_TagGroup* child : group->Groups()) {
                if (!OPCS_TagGroup::IsValidGroup(child)) continue;
                std::wstring name = child->GetName();
                if (filter_.MatchesName(name)) names_.push_back(std::move(name));
            }
        } else if (filter_.WantsLeaves()) {
            for (OPCS_Tag* tag : group->Tags()) {
                if (!OPCS_Tag::IsValidTag(tag)) continue;
                std::wstring name = tag->GetName();
                if (filter_.MatchesName(name) && filter_.MatchesLeaf(tag->GetDataType(), AccessRightsOf(tag))) {
                    names_.push_back(std::move(name));
                }
            }
        }
        return true;
    } catch (const std::bad_alloc&) {
        names_.clear();
        return false;
    }
}

STDMETHODIMP CEnumItemIDs::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IEnumString) {
        *ppv = static_cast<IEnumString*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CEnumItemIDs::AddRef() { return static_cast<ULONG>(++refs_); }

STDMETHODIMP_(ULONG) CEnumItemIDs::Release() {
    const LONG left = --refs_;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

STDMETHODIMP CEnumItemIDs::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) {
    if (pceltFetched != nullptr) *pceltFetched = 0;
    if (rgelt == nullptr) return E_INVALIDARG;
    ScopedLock guard(lock_);
    ULONG fetched = 0;
    while (fetched < celt && index_ < names_.size()) {
        LPOLESTR copy = TaskStrDup(names_[index_]);
        if (copy == nullptr) {
            // All or nothing: the client never frees strings of a failed call.
            for (ULONG i = 0; i < fetched; ++i) {
                CoTaskMemFree(rgelt[i]);
                rgelt[i] = nullptr;
            }
            index_ -= fetched;
            return E_OUTOFMEMORY;
        }
        rgelt[fetched++] = copy;
        ++index_;
    }
    if (pceltFetched != nullptr) *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP CEnumItemIDs::Skip(ULONG celt) {
    ScopedLock guard(lock_);
    const size_t remaining = names_.size() - index_;
    if (celt > remaining) {
        index_ = names_.size();
        return S_FALSE;
    }
    index_ += celt;
    return S_OK;
}

STDMETHODIMP CEnumItemIDs::Reset() {
    ScopedLock guard(lock_);
    index_ = 0;
    return S_OK;
}

STDMETHODIMP CEnumItemIDs::Clone(IEnumString** ppEnum) {
    if (ppEnum == nullptr) return E_INVALIDARG;
    return Create(position_, filter_, ppEnum);
}
