#include "CallbackBatch.h"

#include <algorithm>
#include <utility>

#include "COPCItem.h"
#include "OpcConstants.h"

CallbackBatch::~CallbackBatch() {
    for (VARIANT& value : m_values) VariantClear(&value);
}

void CallbackBatch::Reserve(size_t count) {
    m_clients.reserve(count);
    m_values.reserve(count);
    m_qualities.reserve(count);
    m_times.reserve(count);
    m_errors.reserve(count);
}

void CallbackBatch::GrowForOneMore() {
    const size_t n = m_clients.size();
    if (n < m_clients.capacity() && n < m_values.capacity() && n < m_qualities.capacity() && n < m_times.capacity() &&
        m_errors.size() < m_errors.capacity()) {
        return;
    }
    // Doubling keeps a batch of n items linear.
    Reserve(std::max<size_t>(16, 2 * n));
}

void CallbackBatch::Add(ItemReading reading, HRESULT status) {
    Variant delivered;
    HRESULT error = status;
    if (reading.value.IsEmpty() || reading.requested == VT_EMPTY || reading.value.Type() == reading.requested) {
        delivered = std::move(reading.value);
    } else {
        const HRESULT converted = ToRequestedType(reading.value, reading.requested, delivered);
        if (FAILED(converted)) error = converted;
    }
    // Every vector grows before any is written, so that a failed growth
    // leaves them of one length.
    GrowForOneMore();
    m_clients.push_back(reading.hClient);
    m_values.push_back(delivered.Detach());
    m_qualities.push_back(SUCCEEDED(error) ? reading.quality : OPC_QUALITY_BAD);
    m_times.push_back(reading.timeStamp);
    m_errors.push_back(error);
}

void CallbackBatch::AddOutcome(OPCHANDLE hClient, HRESULT error) {
    GrowForOneMore();
    m_clients.push_back(hClient);
    m_errors.push_back(error);
}

namespace {
HRESULT MasterError(const std::vector<HRESULT>& errors) {
    for (HRESULT e : errors) {
        if (e != S_OK) return S_FALSE;
    }
    return S_OK;
}
}  // namespace

HRESULT CallbackBatch::SendData(IOPCDataCallback* sink, DWORD transactionID, OPCHANDLE hGroup, bool readComplete) {
    HRESULT quality = S_OK;
    for (WORD q : m_qualities) {
        if ((q & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD) quality = S_FALSE;
    }
    const DWORD count = static_cast<DWORD>(m_clients.size());
    if (readComplete) {
        return sink->OnReadComplete(transactionID, hGroup, quality, MasterError(m_errors), count, m_clients.data(),
                                    m_values.data(), m_qualities.data(), m_times.data(), m_errors.data());
    }
    return sink->OnDataChange(transactionID, hGroup, quality, MasterError(m_errors), count, m_clients.data(),
                              m_values.data(), m_qualities.data(), m_times.data(), m_errors.data());
}

HRESULT CallbackBatch::SendWriteComplete(IOPCDataCallback* sink, DWORD transactionID, OPCHANDLE hGroup) {
    return sink->OnWriteComplete(transactionID, hGroup, MasterError(m_errors), static_cast<DWORD>(m_clients.size()),
                                 m_clients.data(), m_errors.data());
}
