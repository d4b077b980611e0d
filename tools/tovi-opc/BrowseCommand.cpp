// tovi-opc browse: the server's address space as an indented tree, or its
// item IDs one per line, through 2.0's IOPCBrowseServerAddressSpace or 3.0's
// IOPCBrowse.
#include <windows.h>
#include <string>
#include <vector>

#include "BrowseTree.h"
#include "Commands.h"
#include "Da3Browse.h"
#include "Console.h"
#include "ErrorText.h"
#include "ServerConnection.h"
#include "Text.h"

namespace {
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

// The 2.0 position: the server's own, moved by ChangeBrowsePosition.
class Da2BrowseSource final : public BrowseSource {
public:
    explicit Da2BrowseSource(IOPCBrowseServerAddressSpace* browse) : m_browse(browse) {}

    HRESULT Level(std::vector<BrowseEntry>& leaves, std::vector<BrowseEntry>& branches) override {
        std::vector<std::wstring> names;
        HRESULT hr = Names(m_browse, OPC_LEAF, names);
        leaves.clear();
        for (std::wstring& name : names) leaves.push_back(BrowseEntry{std::move(name), {}});
        if (SUCCEEDED(hr)) hr = Names(m_browse, OPC_BRANCH, names);
        branches.clear();
        for (std::wstring& name : names) branches.push_back(BrowseEntry{std::move(name), {}});
        return hr;
    }
    HRESULT Down(const BrowseEntry& branch) override { return Enter(branch.name); }
    HRESULT Up() override { return m_browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""); }
    HRESULT Enter(const std::wstring& name) override {
        return m_browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, name.c_str());
    }
    std::wstring ItemId(const BrowseEntry& leaf) override {
        LPWSTR id = nullptr;
        std::wstring result = leaf.name;
        if (SUCCEEDED(m_browse->GetItemID(const_cast<LPWSTR>(leaf.name.c_str()), &id)) && id != nullptr) result = id;
        CoTaskMemFree(id);
        return result;
    }

private:
    IOPCBrowseServerAddressSpace* m_browse;
};

// Down the user's BRANCH words, then the walk; false when anything failed (reported).
bool PrintTree(BrowseSource& source, const Arguments& args, const std::string* why) {
    for (size_t i = 1; i < args.words.size(); ++i) {
        const HRESULT hr = source.Enter(args.words[i]);
        if (FAILED(hr)) {
            std::string message = std::string("no branch \"").append(ToUtf8(args.words[i])).append("\" there: ");
            if (why != nullptr && !why->empty()) message.append(*why).append(": ");
            PrintError(message + ResultText(hr));
            return false;
        }
    }
    const HRESULT hr = WalkTree(source, args.flat, PrintLine);
    if (FAILED(hr)) {
        std::string message = IsConnectionLost(hr) ? "" : "browsing failed: ";
        if (why != nullptr && !why->empty()) message += *why + ": ";
        PrintError(message + ResultText(hr));
        return false;
    }
    return true;
}

int RunBrowse3(IOPCServer* server, const Arguments& args) {
    ComPtr<IOPCBrowse> browse;
    const HRESULT hr = server->QueryInterface(IID_IOPCBrowse, reinterpret_cast<void**>(browse.GetAddressOf()));
    if (FAILED(hr)) {
        PrintError("the server offers no OPC DA 3.0 browsing (IOPCBrowse): " + ResultText(hr));
        return kExitFailed;
    }
    Da3BrowseSource source(browse.Get(), args.pageSize);
    return PrintTree(source, args, &source.Why()) ? kExitOk : kExitFailed;
}
}  // namespace

int RunBrowse(const Arguments& args) {
    if (args.words.empty()) {
        PrintError("browse needs a ProgID (see tovi-opc browse --help)");
        return kExitUsage;
    }
    ComPtr<IOPCServer> server;
    if (!ConnectOrReport(args.words[0], server)) return kExitFailed;
    if (args.da3) return RunBrowse3(server.Get(), args);
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
    if (organization != OPC_NS_FLAT) {
        Da2BrowseSource source(browse.Get());
        return PrintTree(source, args, nullptr) ? kExitOk : kExitFailed;
    }
    if (args.words.size() > 1) {
        PrintError("the server's address space is flat: it has no branches");
        return kExitFailed;
    }
    std::vector<std::wstring> ids;
    hr = Names(browse.Get(), OPC_FLAT, ids);
    for (const std::wstring& id : ids) PrintLine(ToUtf8(id));
    if (FAILED(hr)) {
        PrintError((IsConnectionLost(hr) ? "" : "browsing failed: ") + ResultText(hr));
        return kExitFailed;
    }
    return kExitOk;
}
