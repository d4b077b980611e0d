#pragma once
// The walk of browse over a server's tree, the same for every way of
// browsing it, so that the 2.0 and the 3.0 walks print the same lines.
#include <windows.h>
#include <functional>
#include <string>
#include <vector>

struct BrowseEntry {
    std::wstring name;
    std::wstring itemId;  // empty where the source names items only on request
};

// A position in the tree that moves down into a branch and back up.
class BrowseSource {
public:
    virtual ~BrowseSource() = default;
    // The items and the branches at the position, each in the server's order.
    virtual HRESULT Level(std::vector<BrowseEntry>& leaves, std::vector<BrowseEntry>& branches) = 0;
    virtual HRESULT Down(const BrowseEntry& branch) = 0;
    virtual HRESULT Up() = 0;
    // A branch named by the user (browse's BRANCH words), below the position.
    virtual HRESULT Enter(const std::wstring& name) = 0;
    // A leaf's fully qualified item ID.
    virtual std::wstring ItemId(const BrowseEntry& leaf) = 0;
};

// Prints the position and everything below: leaves as their names and
// branches as "name/", each level two blanks deeper; with `flat` the leaves'
// item IDs only. The first failure.
HRESULT WalkTree(BrowseSource& source, bool flat, const std::function<void(const std::string&)>& print);
