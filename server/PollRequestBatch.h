#pragma once
// The poll requests of many items of a group, made or withdrawn with one call
// per device instead of one per item: adding 10,000 items to an active group
// asks its device once.
#include <windows.h>
#include <utility>
#include <vector>

class COPCItem;
class OPCS_Device;

class PollRequestBatch {
public:
    PollRequestBatch() = default;
    PollRequestBatch(const PollRequestBatch&) = delete;
    PollRequestBatch& operator=(const PollRequestBatch&) = delete;
    // Requests not yet made are made now.
    ~PollRequestBatch() { Flush(); }

    // An item being activated (BeginActivation gave `device`).
    void AddStart(COPCItem* item, OPCS_Device* device) noexcept;
    // A request an item gave up (EndActivation gave `device`).
    void AddStop(OPCS_Device* device) noexcept;
    // Makes the requests: each device asked once; the items whose device
    // took the request are confirmed.
    void Flush() noexcept;

private:
    bool Count(std::vector<std::pair<OPCS_Device*, DWORD>>& counts, OPCS_Device* device) noexcept;

    std::vector<std::pair<OPCS_Device*, DWORD>> m_starts, m_stops;
    std::vector<std::pair<COPCItem*, OPCS_Device*>> m_items;
};
