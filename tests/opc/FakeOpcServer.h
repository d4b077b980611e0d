#pragma once
// A server behind the proxies: records what arrived in ServerCalls; the groups
// it creates record into GroupCalls.
#include <map>
#include <optional>
#include <string>

#include "FakeComObject.h"
#include "FakeOpcGroup.h"
#include "OpcDa.h"

struct ServerCalls {
    int count = 0;
    std::wstring text;  // the string argument of the last call
    BOOL active = FALSE;
    DWORD rate = 0;
    OPCHANDLE clientGroup = 0;
    std::optional<LONG> timeBias;
    std::optional<FLOAT> deadband;
    DWORD lcid = 0;
    IID riid = GUID_NULL;
    OPCHANDLE serverGroup = 0;
    BOOL force = FALSE;
    HRESULT error = S_OK;
    OPCENUMSCOPE scope = static_cast<OPCENUMSCOPE>(0);
    OPCBROWSEDIRECTION direction = static_cast<OPCBROWSEDIRECTION>(0);
    OPCBROWSETYPE browseType = static_cast<OPCBROWSETYPE>(0);
    VARTYPE typeFilter = VT_EMPTY;
    DWORD rightsFilter = 0;
};

class FakeOpcServer
    : public FakeComObject<IOPCServer, IOPCServerPublicGroups, IOPCBrowseServerAddressSpace> {
public:
    // AddGroup hands out this handle; the name "dup" is already taken.
    static constexpr OPCHANDLE GroupHandle = 0xABCD0001;

    FakeOpcServer(ServerCalls* calls, GroupCalls* groupCalls) : calls_(calls), groupCalls_(groupCalls) {}

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                          DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    STDMETHODIMP GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override;
    // IOPCServerPublicGroups
    STDMETHODIMP GetPublicGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP RemovePublicGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    // IOPCBrowseServerAddressSpace
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                  VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                  LPENUMSTRING* ppIEnumString) override;
    STDMETHODIMP GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    STDMETHODIMP BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) override;

protected:
    ~FakeOpcServer() override;

private:
    ServerCalls* calls_;
    GroupCalls* groupCalls_;
    std::map<std::wstring, IUnknown*> groups_;
};
