#include "CallbackBatch.h"

#include <algorithm>
#include <utility>

#include "COPCItem.h"
#include "OpcConstants.h"

CallbackBatch::~CallbackBatch() {
    for (VARIANT& value : values_) VariantClear(&value);
}

void CallbackBatch::Reserve(size_t count) {
    clients_.reserve(count);
    values_.reserve(count);
    qualities_.reserve(count);
    times_.reserve(count);
    errors_.reserve(count);
}

void CallbackBatch::GrowForOneMore() {
    const size_t n = clients_.size();
    if (n < clients_.capacity() && n < values_.capacity() && n < qualities_.capacity() && n < times_.capacity() &&
        errors_.size() < errors_.capacity()) {
        return;
    }
    // Doubling keeps a batch of n items linear.
    Reserve(std::max<size_t>(16, 2 * n));
}

void CallbackBatch::Add(ItemReading reading) {
    Variant delivered;
    HRESULT error = S_OK;
    if (reading.value.IsEmpty() || reading.requested == VT_EMPTY || reading.value.Type() == reading.requested) {
        delivered = std::move(reading.value);
    } else {
        error = ToRequestedType(reading.value, reading.requested, delivered);
    }
    // Every vector grows before any is written, so that a failed growth
    // leaves them of one length.
    GrowForOneMore();
    clients_.push_back(reading.hClient);
    values_.push_back(delivered.Detach());
    qualities_.push_back(SUCCEEDED(error) ? reading.quality : OPC_QUALITY_BAD);
    times_.push_back(reading.timeStamp);
    errors_.push_back(error);
}

void CallbackBatch::AddOutcome(OPCHANDLE hClient, HRESULT error) {
    GrowForOneMore();
    clients_.push_back(hClient);
    errors_.push_back(error);
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
    for (WORD q : qualities_) {
        if ((q & OPC_QUALITY_MASK) != OPC_QUALITY_GOOD) quality = S_FALSE;
    }
    const DWORD count = static_cast<DWORD>(clients_.size());
    if (readComplete) {
        return sink->OnReadComplete(transactionID, hGroup, quality, MasterError(errors_), count, clients_.data(),
                                    values_.data(), qualities_.data(), times_.data(), errors_.data());
    }
    return sink->OnDataChange(transactionID, hGroup, quality, MasterError(errors_), count, clients_.data(),
                              values_.data(), qualities_.data(), times_.data(), errors_.data());
}

HRESULT CallbackBatch::SendWriteComplete(IOPCDataCallback* sink, DWORD transactionID, OPCHANDLE hGroup) {
    return sink->OnWriteComplete(transactionID, hGroup, MasterError(errors_), static_cast<DWORD>(clients_.size()),
                                 clients_.data(), errors_.data());
}
