#pragma once
// A COM enumerator over a snapshot taken when it is made: the groups or
// group names of a connection, the connections of a connection point, the
// connection points of a container, the names at a browse position. Items
// added or removed later are not seen. One shape serves every IEnumXxx whose
// Next hands out copies the client frees.
#include <windows.h>
#include <objidl.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <vector>

#include "ComObject.h"
#include "CriticalSection.h"

// What each enumerator holds and how Next copies one entry out.
struct StringEnumTraits {
    using Interface = IEnumString;
    using Element = LPOLESTR;
    using Stored = std::wstring;
};
struct UnknownEnumTraits {
    using Interface = IEnumUnknown;
    using Element = IUnknown*;
    using Stored = Microsoft::WRL::ComPtr<IUnknown>;
};
struct ConnectionEnumTraits {
    using Interface = IEnumConnections;
    using Element = CONNECTDATA;
    struct Stored {
        Microsoft::WRL::ComPtr<IUnknown> sink;
        DWORD cookie = 0;
    };
};
struct StatDataEnumTraits {
    using Interface = IEnumSTATDATA;
    using Element = STATDATA;
    struct Stored {
        FORMATETC format{};  // without a target device
        DWORD advf = 0;
        Microsoft::WRL::ComPtr<IAdviseSink> sink;
        DWORD cookie = 0;
    };
};
struct ConnectionPointEnumTraits {
    using Interface = IEnumConnectionPoints;
    using Element = IConnectionPoint*;
    using Stored = Microsoft::WRL::ComPtr<IConnectionPoint>;
};

template <class Traits>
class EnumSnapshot final : public ComObject<typename Traits::Interface> {
public:
    using Interface = typename Traits::Interface;
    using Element = typename Traits::Element;
    using Stored = typename Traits::Stored;
    // Makes a clone afresh instead of copying the snapshot (browsing: a clone
    // shows the configuration as it is when it is made).
    using Refill = std::function<HRESULT(Interface**)>;

    // Hands out the enumerator with one reference; E_OUTOFMEMORY (and null)
    // when it cannot be made.
    static HRESULT Create(std::vector<Stored> entries, Interface** ppEnum, Refill refill = {});

    STDMETHODIMP Next(ULONG celt, Element* rgelt, ULONG* pceltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(Interface** ppEnum) override;

private:
    // Construction posts one more client object, destruction one fewer.
    EnumSnapshot(std::vector<Stored> entries, Refill refill, size_t index);
    ~EnumSnapshot() override;

    const std::vector<Stored> m_entries;
    const Refill m_refill;
    CriticalSection m_lock;  // guards m_index: one client may call from several threads
    size_t m_index = 0;
};

using StringEnumerator = EnumSnapshot<StringEnumTraits>;
using UnknownEnumerator = EnumSnapshot<UnknownEnumTraits>;
using ConnectionEnumerator = EnumSnapshot<ConnectionEnumTraits>;
using ConnectionPointEnumerator = EnumSnapshot<ConnectionPointEnumTraits>;
using StatDataEnumerator = EnumSnapshot<StatDataEnumTraits>;
