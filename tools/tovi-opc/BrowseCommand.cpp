// tovi-opc browse: the server's address space as an indented tree, or its
// item IDs one per line.
#include <windows.h>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "ErrorText.h"
#include "ServerConnection.h"
#include "Text.h"

namespace {
// A server that answers a branch with itself would otherwise never end.
constexpr int kMaxDepth = 64;

HRESULT Names(IOPCBrowseServerAddressSpace* browse, OPCBROWSETYPE type, std::vector<std::wstring>& names) {
    names.clear();
    ComPtr<IEnumString> strings;
    const HRESULT hr = browse->BrowseOPCItemIDs(type, L"", VT_EMPTY, 0, strings.GetAddressOf());
    if (FAILED(hr)) return hr;
    if (hr == S_FALSE || !strings) return S_OK;  // nothing there
    for (;;) {
        LPOLESTR batch[64] = {};
        ULONG fetched = 0;
        const HRESULT next = strings->Next(64, batch, &fetched);
        for (ULONG i = 0; i < fetched && i < 64; ++i) {
            if (batch[i] != nullptr) names.emplace_back(batch[i]);
            CoTaskMemFree(batch[i]);
        }
        if (FAILED(next)) return next;
        if (next != S_OK || fetched == 0) return S_OK;
    }
}

std::wstring ItemIdOf(IOPCBrowseServerAddressSpace* browse, const std::wstring& leaf) {
    LPWSTR id = nullptr;
    std::wstring result = leaf;
    if (SUCCEEDED(browse->GetItemID(const_cast<LPWSTR>(leaf.c_str()), &id)) && id != nullptr) result = id;
    CoTaskMemFree(id);
    return result;
}

class Walker {
public:
    Walker(IOPCBrowseServerAddressSpace* browse, bool flat) : m_browse(browse), m_flat(flat) {}

    // Prints what lies at the current position and below; the first failure.
    HRESULT Walk(int depth) {
        std::vector<std::wstring> leaves, branches;
        HRESULT hr = Names(m_browse, OPC_LEAF, leaves);
        if (SUCCEEDED(hr)) hr = Names(m_browse, OPC_BRANCH, branches);
        if (FAILED(hr)) return hr;
        const std::string indent(static_cast<size_t>(depth) * 2, ' ');
        for (const std::wstring& leaf : leaves) {
            PrintLine(m_flat ? ToUtf8(ItemIdOf(m_browse, leaf)) : indent + ToUtf8(leaf));
        }
        for (const std::wstring& branch : branches) {
            if (!m_flat) PrintLine(indent + ToUtf8(branch) + "/");
            if (depth + 1 >= kMaxDepth) continue;
            hr = m_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, branch.c_str());
            if (FAILED(hr)) return hr;
            const HRESULT below = Walk(depth + 1);
            hr = m_browse->ChangeBrowsePosition(OPC_BROWSE_UP, L"");
            if (FAILED(below)) return below;
            if (FAILED(hr)) return hr;
        }
        return S_OK;
    }

private:
    IOPCBrowseServerAddressSpace* m_browse;
    bool m_flat;
};
}  // namespace

int RunBrowse(const Arguments& args) {
    if (args.words.empty()) {
        PrintError("browse needs a ProgID (see tovi-opc browse --help)");
        return kExitUsage;
    }
    ComPtr<IOPCServer> server;
    if (!ConnectOrReport(args.words[0], server)) return kExitFailed;
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    HRESULT hr = server.As(&browse);
    if (FAILED(hr)) {
        PrintError("the server cannot be browsed: " + ResultText(hr));
        return kExitFailed;
    }
    OPCNAMESPACETYPE organization = OPC_NS_HIERARCHIAL;
    hr = browse->QueryOrganization(&organization);
    if (FAILED(hr)) {
        PrintError("QueryOrganization failed: " + ResultText(hr));
        return kExitFailed;
    }
    if (organization == OPC_NS_FLAT) {
        if (args.words.size() > 1) {
            PrintError("the server's address space is flat: it has no branches");
            return kExitFailed;
        }
        std::vector<std::wstring> ids;
        hr = Names(browse.Get(), OPC_FLAT, ids);
        for (const std::wstring& id : ids) PrintLine(ToUtf8(id));
    } else {
        for (size_t i = 1; i < args.words.size(); ++i) {
            hr = browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, args.words[i].c_str());
            if (FAILED(hr)) {
                PrintError("no branch \"" + ToUtf8(args.words[i]) + "\" there: " + ResultText(hr));
                return kExitFailed;
            }
        }
        hr = Walker(browse.Get(), args.flat).Walk(0);
    }
    if (FAILED(hr)) {
        PrintError((IsConnectionLost(hr) ? "" : "browsing failed: ") + ResultText(hr));
        return kExitFailed;
    }
    return kExitOk;
}
