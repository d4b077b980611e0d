#include "PollRequestBatch.h"

#include <algorithm>

#include "COPCItem.h"
#include "Device.h"

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
        items_.emplace_back(item, device);
        kept = true;
    } catch (...) {
    }
    if (kept && Count(starts_, device)) return;
    if (kept) items_.pop_back();
    // Out of memory for the batch: this one is asked for on its own.
    if (OPCS_TagGroup::IsValidGroup(device) && device->RequestPollStart(kPollOpcItems) != 0) {
        item->ConfirmActivation(device);
    }
}

void PollRequestBatch::AddStop(OPCS_Device* device) noexcept {
    if (device != nullptr && !Count(stops_, device)) device->RequestPollStop(kPollOpcItems);
}

void PollRequestBatch::Flush() noexcept {
    for (auto& [device, count] : stops_) {
        if (OPCS_TagGroup::IsValidGroup(device)) device->RequestPollStop(kPollOpcItems, count);
    }
    stops_.clear();
    for (auto& entry : starts_) {
        // The count is kept only for the devices that took the requests.
        const bool took = OPCS_TagGroup::IsValidGroup(entry.first) &&
                          entry.first->RequestPollStart(kPollOpcItems, entry.second) != 0;
        if (!took) entry.second = 0;
    }
    for (auto& [item, device] : items_) {
        auto entry = std::find_if(starts_.begin(), starts_.end(), [device](const auto& e) { return e.first == device; });
        if (entry != starts_.end() && entry->second != 0) item->ConfirmActivation(device);
    }
    starts_.clear();
    items_.clear();
}
