#include "SampleBuffer.h"

#include <utility>

#include "CallbackBatch.h"
#include "OpcConstants.h"

void SampleBuffer::Push(ItemReading reading, SampleBudget& budget) {
    if (m_samples.empty()) {
        budget.Take();
    } else if (m_samples.size() >= kItemBound || !budget.TryTake()) {
        m_samples.pop_front();
        m_overflowed = true;
    }
    m_samples.push_back(std::move(reading));
}

void SampleBuffer::MoveTo(CallbackBatch& batch, SampleBudget& budget) {
    const HRESULT status = m_overflowed ? OPC_S_DATAQUEUEOVERFLOW : S_OK;
    for (ItemReading& sample : m_samples) batch.Add(std::move(sample), status);
    Clear(budget);
}

void SampleBuffer::Clear(SampleBudget& budget) noexcept {
    budget.Give(m_samples.size());
    m_samples.clear();
    m_overflowed = false;
}
