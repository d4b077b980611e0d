#pragma once
// browse --da3: the tree through OPC DA 3.0's IOPCBrowse, each branch by its
// item ID, read page by page along the server's continuation points.
#include <windows.h>
#include <string>
#include <vector>

#include "BrowseTree.h"
#include "OpcDa.h"

class Da3BrowseSource final : public BrowseSource {
public:
    // `pageSize` 0 asks for every element at once.
    Da3BrowseSource(IOPCBrowse* browse, DWORD pageSize) : m_browse(browse), m_pageSize(pageSize) {}

    HRESULT Level(std::vector<BrowseEntry>& leaves, std::vector<BrowseEntry>& branches) override;
    HRESULT Down(const BrowseEntry& branch) override;
    HRESULT Up() override;
    HRESULT Enter(const std::wstring& name) override;
    std::wstring ItemId(const BrowseEntry& leaf) override;
    // What went wrong beyond the result ("" when the result says it all).
    const std::string& Why() const { return m_why; }
    // The Browse calls made so far.
    unsigned Calls() const { return m_calls; }

private:
    IOPCBrowse* m_browse;
    DWORD m_pageSize;
    std::vector<std::wstring> m_path;  // the item IDs of the branches entered
    std::string m_why;
    unsigned m_calls = 0;
};
