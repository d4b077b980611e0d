#include "SamplingSchedule.h"

#include <algorithm>

void SamplingSchedule::Note(std::vector<OPCHANDLE>& handles, OPCHANDLE handle, bool set) {
    const auto at = std::lower_bound(handles.begin(), handles.end(), handle);
    const bool present = at != handles.end() && *at == handle;
    if (set && !present) handles.insert(at, handle);
    if (!set && present) handles.erase(at);
    UpdateIdle();
}

void SamplingSchedule::Forget(OPCHANDLE handle) noexcept {
    for (std::vector<OPCHANDLE>* handles : {&m_sampled, &m_buffered}) {
        const auto at = std::lower_bound(handles->begin(), handles->end(), handle);
        if (at != handles->end() && *at == handle) handles->erase(at);
    }
    UpdateIdle();
}

ULONGLONG SamplingSchedule::SampleDue(ItemTable<COPCItem>& items, ULONGLONG now, DWORD generation) {
    ULONGLONG next = kNever;
    for (OPCHANDLE handle : m_sampled) {
        COPCItem* item = items.Find(handle);
        if (item == nullptr || !item->IsActive()) continue;
        if (item->TakeSampleDue(now)) {
            item->Update();
            if (generation != 0) item->BufferChange(generation, m_budget);
        }
        next = std::min(next, item->NextSampleAt());
    }
    return next;
}
