#include "PollRequestBatch.h"

#include <algorithm>

#include "COPCItem.h"
#include "OPCS_Device.h"

bool PollRequestBatch::Count(std::vector<std::pair<OPCS_Device*, DWORD>>& counts, OPCS_Device* device) noexcept {
    // A group's items lie on a few devices: a short list beats a map.
    for (auto& entry : counts) {
        if (entry.first == device) {
            ++entry.second;
            return true;
        }
    }
    try {
        counts.emplace_back(device, 1);
        return true;
    } catch (...) {
        return false;
    }
}

void PollRequestBatch::AddStart(COPCItem* item, OPCS_Device* device) noexcept {
    if (device == nullptr) return;
    bool kept = false;
    try {
        m_items.emplace_back(item, device);
        kept = true;
    } catch (...) {}
    if (kept && Count(m_starts, device)) return;
    if (kept) m_items.pop_back();
    // Out of memory for the batch: this one is asked for on its own.
    if (OPCS_TagGroup::IsValidGroup(device) && device->RequestPollStart(kPollOpcItems) != 0) {
        item->ConfirmActivation(device);
    }
}

void PollRequestBatch::AddStop(OPCS_Device* device) noexcept {
    if (device != nullptr && !Count(m_stops, device)) device->RequestPollStop(kPollOpcItems);
}

void PollRequestBatch::Flush() noexcept {
    for (auto& [device, count] : m_stops) {
        if (OPCS_TagGroup::IsValidGroup(device)) device->RequestPollStop(kPollOpcItems, count);
    }
    m_stops.clear();
    for (auto& entry : m_starts) {
        // The count is kept only for the devices that took the requests.
        const bool took =
            OPCS_TagGroup::IsValidGroup(entry.first) && entry.first->RequestPollStart(kPollOpcItems, entry.second) != 0;
        if (!took) entry.second = 0;
    }
    for (auto& [item, device] : m_items) {
        auto entry =
            std::find_if(m_starts.begin(), m_starts.end(), [device](const auto& e) { return e.first == device; });
        if (entry != m_starts.end() && entry->second != 0) item->ConfirmActivation(device);
    }
    m_starts.clear();
    m_items.clear();
}
