#pragma once
// The names found at a browse position, handed to a client as IEnumString.
// The names are a snapshot taken when the enumerator is filled; a clone is
// filled anew from the same position and filters, so it shows the
// configuration as it is then (nothing when that position has been deleted).
#include <windows.h>
#include <objidl.h>

#include "BrowseFilter.h"
#include "BrowsePosition.h"

class CEnumItemIDs {
public:
    // Makes an enumerator at (a copy of) `position`, fills it and hands out
    // its IEnumString. *ppEnum is null on failure (E_OUTOFMEMORY).
    static HRESULT Create(const BrowsePosition& position, const BrowseFilter& filter, IEnumString** ppEnum);
};
