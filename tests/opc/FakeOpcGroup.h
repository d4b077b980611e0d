#pragma once
// A group behind the proxies: records what arrived in GroupCalls and answers
// with values derived from its input, so that anything lost or garbled on
// the wire shows in the results.
#include <optional>
#include <string>
#include <vector>

#include "FakeComObject.h"
#include "OpcDa.h"
#include "Variant.h"

struct ItemDefinition {
    std::optional<std::wstring> accessPath;  // nullopt: arrived as a null pointer
    std::wstring itemId;
    BOOL active = FALSE;
    OPCHANDLE client = 0;
    std::vector<BYTE> blob;
    bool blobPointerNull = true;
    VARTYPE requestedType = VT_EMPTY;
};

struct GroupCalls {
    std::optional<DWORD> updateRate;
    std::optional<BOOL> active;
    std::optional<LONG> timeBias;
    std::optional<FLOAT> deadband;
    std::optional<DWORD> lcid;
    std::optional<OPCHANDLE> clientGroup;
    std::wstring name;
    IID riid = GUID_NULL;
    DWORD connection = 0;
    OPCDATASOURCE source = static_cast<OPCDATASOURCE>(0);
    DWORD transactionId = 0;
    BOOL flag = FALSE;  // bActive of SetActiveState, bBlobUpdate of ValidateItems
    std::vector<OPCHANDLE> serverHandles;
    std::vector<OPCHANDLE> clientHandles;
    std::vector<VARTYPE> types;
    std::vector<Variant> values;
    std::vector<ItemDefinition> definitions;
};

class FakeOpcGroup : public FakeComObject<IOPCGroupStateMgt, IOPCPublicGroupStateMgt, IOPCSyncIO,
                                          IOPCAsyncIO, IOPCItemMgt> {
public:
    // Handle 0 is the one invalid server handle; item ID "missing" is unknown.
    static constexpr OPCHANDLE InvalidHandle = 0;
    // What GetState reports.
    static constexpr DWORD StateUpdateRate = 250;
    static constexpr LONG StateTimeBias = -60;
    static constexpr FLOAT StateDeadband = 2.5f;
    static constexpr DWORD StateLcid = 0x0407;
    static constexpr OPCHANDLE StateClientGroup = 77;
    static constexpr OPCHANDLE StateServerGroup = 0xFEDC0001;
    static constexpr const wchar_t* StateName = L"Kessel \u00c4 \u6c34";

    explicit FakeOpcGroup(GroupCalls* calls) : calls_(calls) {}

    // IOPCGroupStateMgt
    STDMETHODIMP GetState(DWORD* pUpdateRate, BOOL* pActive, LPWSTR* ppName, LONG* pTimeBias,
                          FLOAT* pPercentDeadband, DWORD* pLCID, OPCHANDLE* phClientGroup,
                          OPCHANDLE* phServerGroup) override;
    STDMETHODIMP SetState(DWORD* pRequestedUpdateRate, DWORD* pRevisedUpdateRate, BOOL* pActive,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD* pLCID,
                          OPCHANDLE* phClientGroup) override;
    STDMETHODIMP SetName(LPCWSTR szName) override;
    STDMETHODIMP CloneGroup(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    // IOPCPublicGroupStateMgt
    STDMETHODIMP GetState(BOOL* pPublic) override;
    STDMETHODIMP MoveToPublic() override;
    // IOPCSyncIO
    STDMETHODIMP Read(OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                      OPCITEMSTATE** ppItemValues, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       HRESULT** ppErrors) override;
    // IOPCAsyncIO
    STDMETHODIMP Read(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD dwCount, OPCHANDLE* phServer,
                      DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Write(DWORD dwConnection, DWORD dwCount, OPCHANDLE* phServer, VARIANT* pItemValues,
                       DWORD* pTransactionID, HRESULT** ppErrors) override;
    STDMETHODIMP Refresh(DWORD dwConnection, OPCDATASOURCE dwSource, DWORD* pTransactionID) override;
    STDMETHODIMP Cancel(DWORD dwTransactionID) override;
    // IOPCItemMgt
    STDMETHODIMP AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                          HRESULT** ppErrors) override;
    STDMETHODIMP ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL bBlobUpdate,
                               OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override;
    STDMETHODIMP RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override;
    STDMETHODIMP SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                HRESULT** ppErrors) override;
    STDMETHODIMP SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                  HRESULT** ppErrors) override;
    STDMETHODIMP SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                              HRESULT** ppErrors) override;
    STDMETHODIMP CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override;

private:
    HRESULT DescribeItems(DWORD count, const OPCITEMDEF* items, bool withBlobs, OPCITEMRESULT** results,
                          HRESULT** errors);
    // Per-handle errors: OPC_E_INVALIDHANDLE for InvalidHandle; S_FALSE overall when any failed.
    HRESULT HandleErrors(DWORD count, const OPCHANDLE* handles, HRESULT** errors);
    DWORD NextTransaction() { return ++lastTransaction_; }

    GroupCalls* calls_;
    DWORD lastTransaction_ = 1;
};
