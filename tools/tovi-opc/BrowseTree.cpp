#include "BrowseTree.h"

#include "Text.h"

namespace {
// A server that answers a branch with itself would otherwise never end.
constexpr int kMaxDepth = 64;

HRESULT Walk(BrowseSource& source, bool flat, const std::function<void(const std::string&)>& print, int depth) {
    std::vector<BrowseEntry> leaves, branches;
    HRESULT hr = source.Level(leaves, branches);
    if (FAILED(hr)) return hr;
    const std::string indent(static_cast<size_t>(depth) * 2, ' ');
    for (const BrowseEntry& leaf : leaves) print(flat ? ToUtf8(source.ItemId(leaf)) : indent + ToUtf8(leaf.name));
    for (const BrowseEntry& branch : branches) {
        if (!flat) print(indent + ToUtf8(branch.name) + "/");
        if (depth + 1 >= kMaxDepth) continue;
        hr = source.Down(branch);
        if (FAILED(hr)) return hr;
        const HRESULT below = Walk(source, flat, print, depth + 1);
        hr = source.Up();
        if (FAILED(below)) return below;
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}
}  // namespace

HRESULT WalkTree(BrowseSource& source, bool flat, const std::function<void(const std::string&)>& print) {
    return Walk(source, flat, print, 0);
}
