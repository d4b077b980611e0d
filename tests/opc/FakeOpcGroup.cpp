#include "FakeOpcGroup.h"

#include "FakeEnumerators.h"
#include "OpcConstants.h"
#include "TaskMem.h"

STDMETHODIMP FakeOpcGroup::GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                                    FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                                    OPCHANDLE* phServerGroup) {
    *pUpdateRate = StateUpdateRate;
    *pActive = TRUE;
    *ppName = TaskStrDup(StateName);
    *pTimeBias = StateTimeBias;
    *pPercentDeadband = StateDeadband;
    *pLCID = StateLcid;
    *phClientGroup = StateClientGroup;
    *phServerGroup = StateServerGroup;
    return S_OK;
}

template <class T>
static std::optional<T> Optional(const T* p) {
    return p ? std::optional<T>(*p) : std::nullopt;
}

STDMETHODIMP FakeOpcGroup::SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                                    LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                                    OPCHANDLE* phClientGroup) {
    calls_->updateRate = Optional(pRequestedUpdateRate);
    calls_->active = Optional(pActive);
    calls_->timeBias = Optional(pTimeBias);
    calls_->deadband = Optional(pPercentDeadband);
    calls_->lcid = Optional(pLCID);
    calls_->clientGroup = Optional(phClientGroup);
    // A requested rate is revised to the next multiple of 100 ms; none leaves 1000.
    *pRevisedUpdateRate = pRequestedUpdateRate ? (*pRequestedUpdateRate + 99) / 100 * 100 : 1000;
    return pRequestedUpdateRate && *pRevisedUpdateRate != *pRequestedUpdateRate ? OPC_S_UNSUPPORTEDRATE : S_OK;
}

STDMETHODIMP FakeOpcGroup::SetName(LPCWSTR szName) {
    calls_->name = szName;
    return calls_->name == L"taken" ? OPC_E_DUPLICATENAME : S_OK;
}

STDMETHODIMP FakeOpcGroup::CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) {
    calls_->name = szName;
    calls_->riid = riid;
    return HandOut(new FakeOpcGroup(calls_), riid, reinterpret_cast<void**>(ppUnk));
}

STDMETHODIMP FakeOpcGroup::GetState(BOOL* pPublic) {
    *pPublic = TRUE;
    return S_OK;
}

STDMETHODIMP FakeOpcGroup::MoveToPublic() {
    return OPC_E_PUBLIC;
}

HRESULT FakeOpcGroup::HandleErrors(DWORD count, const OPCHANDLE* handles, HRESULT** errors) {
    calls_->serverHandles.assign(handles, handles + count);
    *errors = TaskAllocArray<HRESULT>(count);
    if (*errors == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT result = S_OK;
    for (DWORD i = 0; i < count; ++i) {
        (*errors)[i] = handles[i] == InvalidHandle ? OPC_E_INVALIDHANDLE : S_OK;
        if (handles[i] == InvalidHandle) {
            result = S_FALSE;
        }
    }
    return result;
}

// Read gives, for handle h: client handle h + 1000, time stamp {h, 0x01DA0000},
// quality good, value h * 1.5 (odd h) or the text "Wert <h>" (even h).
STDMETHODIMP FakeOpcGroup::Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) {
    calls_->source = dwSource;
    *ppItemValues = TaskAllocArray<OPCITEMSTATE>(dwCount);
    const HRESULT result = HandleErrors(dwCount, phServer, ppErrors);
    for (DWORD i = 0; i < dwCount; ++i) {
        OPCITEMSTATE& state = (*ppItemValues)[i];
        VariantInit(&state.vDataValue);
        const OPCHANDLE h = phServer[i];
        if (h == InvalidHandle) {
            continue;
        }
        state.hClient = h + 1000;
        state.ftTimeStamp = FILETIME{h, 0x01DA0000};
        state.wQuality = OPC_QUALITY_GOOD;
        if (h % 2 == 1) {
            Variant::FromDouble(h * 1.5).CopyTo(&state.vDataValue);
        } else {
            Variant::FromString(L"Wert " + std::to_wstring(h)).CopyTo(&state.vDataValue);
        }
    }
    return result;
}

STDMETHODIMP FakeOpcGroup::Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues, HRESULT** ppErrors) {
    calls_->values.clear();
    for (DWORD i = 0; i < dwCount; ++i) {
        calls_->values.emplace_back(pItemValues[i]);
    }
    return HandleErrors(dwCount, phServer, ppErrors);
}

STDMETHODIMP FakeOpcGroup::Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                                DWORD* pTransactionID, HRESULT** ppErrors) {
    calls_->connection = dwConnection;
    calls_->source = dwSource;
    *pTransactionID = NextTransaction();
    return HandleErrors(dwCount, phServer, ppErrors);
}

STDMETHODIMP FakeOpcGroup::Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                                 DWORD* pTransactionID, HRESULT** ppErrors) {
    calls_->connection = dwConnection;
    *pTransactionID = NextTransaction();
    return Write(dwCount, phServer, pItemValues, ppErrors);
}

STDMETHODIMP FakeOpcGroup::Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) {
    calls_->connection = dwConnection;
    calls_->source = dwSource;
    *pTransactionID = NextTransaction();
    return S_OK;
}

STDMETHODIMP FakeOpcGroup::Cancel(DWORD dwTransactionID) {
    calls_->transactionId = dwTransactionID;
    return dwTransactionID <= lastTransaction_ ? S_OK : E_FAIL;
}

// Results: server handle 100 + index, canonical type the requested one (VT_R8
// for VT_EMPTY), both access rights, and the item's blob reversed when blobs
// are asked for. Item ID "missing" gives OPC_E_UNKNOWNITEMID.
HRESULT FakeOpcGroup::DescribeItems(DWORD count, const OPCITEMDEF* items, bool withBlobs, OPCITEMRESULT** results,
                                    HRESULT** errors) {
    calls_->definitions.clear();
    *results = TaskAllocArray<OPCITEMRESULT>(count);
    *errors = TaskAllocArray<HRESULT>(count);
    if (*results == nullptr || *errors == nullptr) {
        return E_OUTOFMEMORY;
    }
    HRESULT overall = S_OK;
    for (DWORD i = 0; i < count; ++i) {
        const OPCITEMDEF& def = items[i];
        ItemDefinition seen;
        if (def.szAccessPath != nullptr) {
            seen.accessPath = def.szAccessPath;
        }
        seen.itemId = def.szItemID ? def.szItemID : L"";
        seen.active = def.bActive;
        seen.client = def.hClient;
        seen.blobPointerNull = def.pBlob == nullptr;
        if (def.pBlob != nullptr) {
            seen.blob.assign(def.pBlob, def.pBlob + def.dwBlobSize);
        }
        seen.requestedType = def.vtRequestedDataType;
        calls_->definitions.push_back(seen);

        if (seen.itemId == L"missing") {
            (*errors)[i] = OPC_E_UNKNOWNITEMID;
            overall = S_FALSE;
            continue;
        }
        OPCITEMRESULT& result = (*results)[i];
        result.hServer = 100 + i;
        result.vtCanonicalDataType = def.vtRequestedDataType == VT_EMPTY ? VARTYPE{VT_R8} : def.vtRequestedDataType;
        result.dwAccessRights = OPC_READABLE | OPC_WRITEABLE;
        if (withBlobs && !seen.blob.empty()) {
            result.dwBlobSize = static_cast<DWORD>(seen.blob.size());
            result.pBlob = TaskAllocArray<BYTE>(seen.blob.size());
            std::copy(seen.blob.rbegin(), seen.blob.rend(), result.pBlob);
        }
        (*errors)[i] = S_OK;
    }
    return overall;
}

STDMETHODIMP FakeOpcGroup::AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                    HRESULT** ppErrors) {
    return DescribeItems(dwCount, pItemArray, true, ppAddResults, ppErrors);
}

STDMETHODIMP FakeOpcGroup::ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                                         OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) {
    calls_->flag = bBlobUpdate;
    return DescribeItems(dwCount, pItemArray, bBlobUpdate != FALSE, ppValidationResults, ppErrors);
}

STDMETHODIMP FakeOpcGroup::RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) {
    return HandleErrors(dwCount, phServer, ppErrors);
}

STDMETHODIMP FakeOpcGroup::SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive, HRESULT** ppErrors) {
    calls_->flag = bActive;
    return HandleErrors(dwCount, phServer, ppErrors);
}

STDMETHODIMP FakeOpcGroup::SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                            HRESULT** ppErrors) {
    calls_->clientHandles.assign(phClient, phClient + dwCount);
    return HandleErrors(dwCount, phServer, ppErrors);
}

STDMETHODIMP FakeOpcGroup::SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                        HRESULT** ppErrors) {
    calls_->types.assign(pRequestedDatatypes, pRequestedDatatypes + dwCount);
    return HandleErrors(dwCount, phServer, ppErrors);
}

STDMETHODIMP FakeOpcGroup::CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) {
    calls_->riid = riid;
    return HandOut(new FakeItemEnumerator, riid, reinterpret_cast<void**>(ppUnk));
}
