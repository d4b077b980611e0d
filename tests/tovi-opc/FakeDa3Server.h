#pragma once
// An in-process stand-in for a DA 3.0 server object, for the tool's parts:
// IOPCBrowse over a tree given by item IDs ("A.B.C"), paged by continuation
// points (or misbehaving as told), and IOPCItemIO over the tree's items. It
// records what arrived.
#include <map>
#include <string>
#include <vector>

#include "ComObject.h"
#include "OpcDa.h"

// How Browse pages.
enum class Paging { Points, NoPoints, OverPage };

struct WrittenVqt {
    std::wstring id;
    VARTYPE type;
    std::wstring value;  // as text
    bool qualitySpecified;
    WORD quality;
    bool timestampSpecified;
    FILETIME timestamp;
};

class FakeDa3Server final : public ComObject<IOPCBrowse, IOPCItemIO> {
public:
    // `items`: item ID and canonical type; the branches are the IDs' prefixes.
    FakeDa3Server(std::vector<std::pair<std::wstring, VARTYPE>> items, Paging paging, bool qualityWrites);

    STDMETHODIMP GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                               DWORD* pdwPropertyIDs, OPCITEMPROPERTIES** ppItemProperties) override;
    STDMETHODIMP Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                        OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR szVendorFilter,
                        BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                        DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                        OPCBROWSEELEMENT** ppBrowseElements) override;
    STDMETHODIMP Read(DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues, WORD** ppwQualities,
                      FILETIME** ppftTimeStamps, HRESULT** ppErrors) override;
    STDMETHODIMP WriteVQT(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) override;

    std::vector<DWORD> maxAges;  // every MaxAge Read was given
    std::vector<WrittenVqt> written;
    int browseCalls = 0;
    DWORD largestPage = 0;  // the most elements one Browse gave

private:
    ~FakeDa3Server() override = default;
    struct Element {
        std::wstring name, id;
        DWORD flags;
    };
    std::map<std::wstring, std::vector<Element>> m_children;  // by branch ID, "" the root
    std::map<std::wstring, VARTYPE> m_items;
    Paging m_paging;
    bool m_qualityWrites;
};
