#pragma once
// One round of the measured operations on an item target, each timed and
// each result checked, so that no figure comes from a call that failed.
#include <array>
#include <string>
#include <vector>

#include "ItemTarget.h"

enum Operation : int {
    kAddItems,
    kAddItemsBy100,
    kValidateItems,
    kWrite,
    kReadCache,
    kReadDevice,
    kRemoveItems,
    kOperationCount
};
const char* OperationName(int operation);

using CycleSeconds = std::array<double, kOperationCount>;

// The item definitions of a list of tags: active, client handle = position + 1,
// canonical type requested.
class ItemSet {
public:
    explicit ItemSet(const std::vector<int>& tagIndexes);
    ItemSet(const ItemSet&) = delete;
    ItemSet& operator=(const ItemSet&) = delete;
    DWORD Count() const { return static_cast<DWORD>(m_defs.size()); }
    OPCITEMDEF* Defs() { return m_defs.data(); }
    const OPCITEMDEF& Def(DWORD i) const { return m_defs[i]; }

private:
    std::vector<std::wstring> m_ids;
    std::vector<OPCITEMDEF> m_defs;
};

// Adds the items in one call, validates them, writes a VT_R4 value to each,
// reads them from the cache and from the device, removes them; then adds them
// in calls of 100 and removes them again. `round` varies the written values.
// Gives "" when every result was as expected, else what was wrong.
std::string RunItemCycle(ItemTarget& target, ItemSet& items, int round, CycleSeconds& seconds);
