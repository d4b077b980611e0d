#pragma once
// Which items of a group a client tuned (DA 3.0): those sampled at a rate of
// their own, which the data thread samples between its scans, and those that
// buffer their samples, with the budget the buffers share. Guarded by the
// group's item lock, except IsIdle: while it is true the group's scans run
// exactly as before any item was tuned.
#include <windows.h>

#include <atomic>
#include <vector>

#include "COPCItem.h"
#include "ItemTable.h"
#include "OpcDa.h"
#include "SampleBuffer.h"

class SamplingSchedule {
public:
    bool IsIdle() const noexcept { return m_idle.load(); }
    SampleBudget& Budget() noexcept { return m_budget; }

    // An item's own rate set (true) or cleared; its buffer enabled or not.
    // Throws bad_alloc with nothing changed.
    void NoteRate(OPCHANDLE handle, bool set) { Note(m_sampled, handle, set); }
    void NoteBuffer(OPCHANDLE handle, bool set) { Note(m_buffered, handle, set); }
    // The item leaves the group.
    void Forget(OPCHANDLE handle) noexcept;

    // Samples each active item of `items` with a rate of its own whose sample
    // is due at `now` (into its buffer for the callback connection
    // `generation`, 0: none); gives the tick of the next sample due, or
    // kNever.
    ULONGLONG SampleDue(ItemTable<COPCItem>& items, ULONGLONG now, DWORD generation);

    static constexpr ULONGLONG kNever = ~0ull;

private:
    void Note(std::vector<OPCHANDLE>& handles, OPCHANDLE handle, bool set);
    void UpdateIdle() noexcept { m_idle.store(m_sampled.empty() && m_buffered.empty()); }

    std::vector<OPCHANDLE> m_sampled;   // sorted
    std::vector<OPCHANDLE> m_buffered;  // sorted
    SampleBudget m_budget;
    std::atomic<bool> m_idle{true};
};
