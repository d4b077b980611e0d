#pragma once
// One client connection: the OPC server object a client obtains from the
// class factory. It owns the groups the client adds and a browse position in
// the live configuration, and offers the DA 2.05a server interfaces beside
// the 1.0a ones: locales, error texts and the client's name (IOPCCommon), the
// shutdown connection point and the item properties of the tags; and, while
// the program offers DA 3.0, browsing by item ID with continuation points
// (IOPCBrowse) and reads and writes without a group (IOPCItemIO).
//
// Creation: `new (std::nothrow) OPCServer()` gives reference count 0; the
// creator posts one more client object, then asks for the interface, which
// gives the client its one reference. If that query fails, the creator
// deletes the object; the destructor posts the one fewer (always, however the
// object goes), so the creator never posts it itself.
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "BrowsePoints.h"
#include "BrowsePosition.h"
#include "ClientSnapshot.h"
#include "ComObject.h"
#include "CriticalSection.h"
#include "OpcDa.h"
#include "OpcDaInterfaces.h"
#include "ServerLink.h"
#include "ServerList.h"

class Configuration;

class ConnectionPoint;
class OPCGroup;
class OPCS_TagGroup;

class OPCServer final : public ComObject<IOPCServer, IOPCBrowseServerAddressSpace, IOPCCommon,
                                         IConnectionPointContainer, IOPCItemProperties, IOPCBrowse, IOPCItemIO> {
public:
    explicit OPCServer(Configuration& configuration) noexcept;
    // Released, destroyed at exit by DestroyAllServers, or deleted by the
    // creator when its first query fails.
    ~OPCServer() override;
    OPCServer(const OPCServer&) = delete;
    OPCServer& operator=(const OPCServer&) = delete;

    // The DA 3.0 interfaces only while offered; records the highest DA
    // version the client asked for.
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

    // IOPCServer
    STDMETHODIMP AddGroup(LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup,
                          LONG* pTimeBias, FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup,
                          DWORD* pRevisedUpdateRate, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    STDMETHODIMP GetGroupByName(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHODIMP GetStatus(OPCSERVERSTATUS** ppServerStatus) override;
    STDMETHODIMP RemoveGroup(OPCHANDLE hServerGroup, BOOL bForce) override;
    STDMETHODIMP CreateGroupEnumerator(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCBrowseServerAddressSpace
    STDMETHODIMP QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override;
    STDMETHODIMP ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    STDMETHODIMP BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter,
                                  DWORD dwAccessRightsFilter, LPENUMSTRING* ppIEnumString) override;
    STDMETHODIMP GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    STDMETHODIMP BrowseAccessPaths(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) override;

    // IOPCCommon
    STDMETHODIMP SetLocaleID(LCID dwLcid) override;
    STDMETHODIMP GetLocaleID(LCID* pdwLcid) override;
    STDMETHODIMP QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid) override;
    STDMETHODIMP GetErrorString(HRESULT dwError, LPWSTR* ppString) override;
    STDMETHODIMP SetClientName(LPCWSTR szName) override;

    // IConnectionPointContainer: one point, IOPCShutdown
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // IOPCItemProperties (OPCServerProperties.cpp)
    STDMETHODIMP QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                          LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override;
    STDMETHODIMP GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData,
                                   HRESULT** ppErrors) override;
    STDMETHODIMP LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs,
                               HRESULT** ppErrors) override;

    // IOPCBrowse (OPCServerBrowse.cpp)
    STDMETHODIMP GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                               DWORD* pdwPropertyIDs, OPCITEMPROPERTIES** ppItemProperties) override;
    STDMETHODIMP Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                        OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                        BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                        DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                        OPCBROWSEELEMENT** ppBrowseElements) override;

    // IOPCItemIO (OPCServerItemIO.cpp)
    STDMETHODIMP Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues, WORD** ppwQualities,
                      FILETIME** ppftTimeStamps, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) override;

    // The continuation points this object keeps now (at most BrowsePoints::kMostLive).
    size_t LiveContinuationPoints() const { return m_BrowsePoints.LiveCount(); }

    // The group of this connection with exactly that name, or null (also
    // while closing). Takes m_csGroups, which is re-entrant.
    OPCGroup* FindGroupByName(std::wstring_view name);

    // Renames a group of this connection unless another of its groups has the
    // name (OPC_E_DUPLICATENAME); E_FAIL while closing.
    HRESULT RenameGroup(OPCGroup* group, const std::wstring& name);

    // Set by the groups' data threads after every scan of an active group.
    FILETIME GetLastUpdateTime() const noexcept;
    bool IsClosing() const noexcept { return m_bClosing.load(); }

    // Program exit: destroys every live server object directly (not through
    // Release), cutting it off from its remote clients first.
    static void DestroyAllServers();
    // Before `object` (a device or group) is deleted: every server object whose
    // browse position is `object` or lies below it goes back to the root, and
    // enumerators made there lose their position. The document already does
    // this through its deletion observer, which the first browse position
    // installs; call it only for deletions that bypass the document. Caller
    // holds the configuration lock.
    static void OnObjectDeleting(OPCS_TagGroup* object);

    // A group of the server behind `link` dropped a sink whose client is
    // gone: when no sink of that server is left, its groups are released and
    // cut off from the client (their threads end). Decided and done on a
    // thread of its own, never on the group's thread that reports it.
    static void CheckClientGone(std::shared_ptr<ServerLink> link);

    // A reference unless the last one is gone (the object is dying). A
    // server no client has taken yet is taken too: the exit destroys it.
    bool TryAddRef() noexcept { return ComObject::TryAddRef(true); }

    // For the operator's list of clients; takes the group lock and the
    // groups' item locks, never a lock held across a client call.
    ClientSnapshot Describe();
    // The clients' IOPCShutdown sinks advised now, each with a reference.
    std::vector<Microsoft::WRL::ComPtr<IOPCShutdown>> ShutdownSinks();
    // The client, for the lines that name it.
    ClientIdentity Client() const;

private:
    // The link the groups hold, made with the first group; null before.
    std::shared_ptr<ServerLink> Link();
    // The shutdown point, made when a client first asks, with one reference
    // for the caller; null while closing or without memory.
    ConnectionPoint* ShutdownPoint();
    // CheckClientGone's work on one server.
    void ReleaseGroupsIfClientGone();
    // Records the client's call for the operator: `method` is a literal.
    void NoteCall(const wchar_t* method) noexcept;

    Configuration& m_Configuration;  // what the client browses and names
    std::atomic<bool> m_bClosing{false};
    // The groups of this connection by server handle; one counted reference each.
    std::unordered_map<OPCHANDLE, OPCGroup*> m_Groups;
    std::shared_ptr<ServerLink> m_pLink;  // guarded by m_csGroups
    mutable CriticalSection m_csGroups;   // guards m_Groups; serialises browsing calls
    BrowsePosition m_BrowsePosition{BrowsePosition::OnDelete::ReturnToRoot, m_Configuration};
    ServerList::Entry m_ListEntry;

    const FILETIME m_ftConnected;
    const ClientProcess m_Process;  // of the call that made the object
    std::atomic<const wchar_t*> m_pLastCall{nullptr};
    std::atomic<int> m_nDaVersion{0};  // DaVersion: the highest the client asked the object for
    std::atomic<std::uint64_t> m_u64LastCallTime{0};
    std::atomic<LCID> m_dwLocale{LOCALE_SYSTEM_DEFAULT};
    std::atomic<bool> m_bLocaleSet{false};  // until then groups keep the locale they are given
    mutable CriticalSection m_csClient;     // leaf lock: guards the two fields below
    std::wstring m_szClientName;
    ConnectionPoint* m_pShutdownPoint = nullptr;  // one reference
    BrowsePoints m_BrowsePoints;

    friend class ServerList;
};
