#include "CallbackBatch.h"

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
    const size_t n = clients_.size() + 1;
    clients_.reserve(n);
    values_.reserve(n);
    qualities_.reserve(n);
    times_.reserve(n);
    errors_.reserve(n);
    clients_.push_back(reading.hClient);
    values_.push_back(delivered.Detach());
    qualities_.push_back(SUCCEEDED(error) ? reading.quality : OPC_QUALITY_BAD);
    times_.push_back(reading.timeStamp);
    errors_.push_back(error);
}

void CallbackBatch::AddOutcome(OPCHANDLE hClient, HRESULT error) {
    errors_.reserve(errors_.size() + 1);
    clients_.reserve(clients_.size() + 1);
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
