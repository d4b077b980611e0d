#pragma once
// The items of a group, handed to a client as IEnumOPCItemAttributes. It walks
// the group's live table (items added or removed meanwhile are seen or
// skipped), remembers its place as the server handle it passed last, and
// keeps its group alive for as long as it lives.
#include <windows.h>

#include "ComObject.h"
#include "CriticalSection.h"
#include "OpcDa.h"

class OPCGroup;

class CEnumItemAttributes final : public ComObject<IEnumOPCItemAttributes> {
public:
    // Makes an enumerator before the group's first item and hands out the
    // interface `riid`; *ppv is null on failure.
    static HRESULT Create(OPCGroup* group, REFIID riid, void** ppv);

    // IEnumOPCItemAttributes
    STDMETHODIMP Next(ULONG celt, OPCITEMATTRIBUTES** ppItemArray, ULONG* pceltFetched) override;
    STDMETHODIMP Skip(ULONG celt) override;
    STDMETHODIMP Reset() override;
    STDMETHODIMP Clone(IEnumOPCItemAttributes** ppEnumItemAttributes) override;

private:
    // Reference count 0; holds one reference on the group; construction posts
    // one more client object and destruction one fewer.
    explicit CEnumItemAttributes(OPCGroup* group);
    ~CEnumItemAttributes() override;

    OPCGroup* const m_group;
    CriticalSection m_lock;    // serialises Next, Skip and Reset
    OPCHANDLE m_position = 0;  // the last item passed; 0 before the first
};
