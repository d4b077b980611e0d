#pragma once
// The names found at a browse position, handed to a client as IEnumString.
// The names are a snapshot taken when the enumerator is filled; a clone is
// filled anew from the same position and filters, so it shows the
// configuration as it is then (nothing when that position has been deleted).
#include <windows.h>
#include <objidl.h>
#include <atomic>
#include <string>
#include <vector>

#include "BrowseFilter.h"
#include "BrowsePosition.h"
#include "CriticalSection.h"

class CEnumItemIDs final : public IEnumString {
public:
    // Makes an enumerator at (a copy of) `position`, fills it and hands out
    // its IEnumString. *ppEnum is null on failure (E_OUTOFMEMORY).
    static HRESULT Create(const BrowsePosition& position, const BrowseFilter& filter, IEnumString** ppEnum);

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IEnumString
    STDMETHODIMP Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumString** ppEnum) override;

private:
    // Reference count 0; construction posts one more client object and
    // destruction one fewer.
    CEnumItemIDs(const BrowsePosition& position, const BrowseFilter& filter);
    ~CEnumItemIDs();

    // Collects the names at the position; false when memory ran out.
    bool Fill();

    std::atomic<LONG> refs_{0};
    BrowsePosition position_;
    const BrowseFilter filter_;
    std::vector<std::wstring> names_;
    CriticalSection lock_;  // guards index_: one client may call from several threads
    size_t index_ = 0;
};
