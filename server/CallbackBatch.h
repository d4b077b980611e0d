#pragma once
// The arrays of one IOPCDataCallback call: gathered under the group's item
// lock, delivered after it is released.
#include <windows.h>
#include <vector>

#include "OpcDa.h"
#include "Variant.h"

struct ItemReading;

class CallbackBatch {
public:
    CallbackBatch() = default;
    ~CallbackBatch();
    CallbackBatch(const CallbackBatch&) = delete;
    CallbackBatch& operator=(const CallbackBatch&) = delete;

    void Reserve(size_t count);
    // An item's value in its requested type, with `status` as its error; one
    // that does not convert goes as OPC_E_BADTYPE with an empty value and bad
    // quality.
    void Add(ItemReading reading, HRESULT status = S_OK);
    // A write's result for one item.
    void AddOutcome(OPCHANDLE hClient, HRESULT error);
    size_t Count() const noexcept { return m_clients.size(); }

    // OnDataChange (or OnReadComplete) and OnWriteComplete with the master
    // results the batch gives; the sink's result.
    HRESULT SendData(IOPCDataCallback* sink, DWORD transactionID, OPCHANDLE hGroup, bool readComplete);
    HRESULT SendWriteComplete(IOPCDataCallback* sink, DWORD transactionID, OPCHANDLE hGroup);

private:
    void GrowForOneMore();

    std::vector<OPCHANDLE> m_clients;
    std::vector<VARIANT> m_values;
    std::vector<WORD> m_qualities;
    std::vector<FILETIME> m_times;
    std::vector<HRESULT> m_errors;
};
