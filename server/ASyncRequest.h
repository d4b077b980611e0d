#pragma once
// One asynchronous call of a client, queued on its group until the group's
// asynchronous thread has carried it out and delivered its completion.
#include <windows.h>
#include <utility>
#include <vector>

#include "COPCItem.h"
#include "OpcDa.h"
#include "Variant.h"

struct ASyncRequest {
    enum Kind : DWORD { kRead = 0, kWrite = 1, kRefresh = 2 };

    DWORD dwConnection = 0;     // 1.0a: the advise connection the completion goes to
    DWORD dwSource = 0;         // OPCDATASOURCE of a read or refresh
    DWORD dwTransactionID = 0;  // 1.0a: the server's; 2.0: the client's, carried back unchanged
    DWORD nType = kRead;
    bool callback = false;         // 2.0: completed through the group's IOPCDataCallback
    DWORD dwCancelID = 0;          // 2.0: the server's id for Cancel2
    bool cancelled = false;        // cancelled before it began: 2.0 sends OnCancelComplete, 1.0a nothing
    std::vector<OPCHANDLE> items;  // server handles in the client's order
    std::vector<Variant> values;   // writes only

    // DA 3.0. A read or refresh by age: the maximum age of each item (a
    // refresh gives one for all) and, decided before the device's response
    // delay is waited out, the source of each (OPCDATASOURCE; a refresh's
    // items are then its active items).
    bool byAge = false;
    std::vector<DWORD> maxAges;
    std::vector<DWORD> sources;
    // A write with qualities and timestamps, one record per value.
    struct QualityAndTime {
        bool hasQuality = false;
        WORD quality = 0;
        bool hasTimeStamp = false;
        FILETIME timeStamp{};
    };
    std::vector<QualityAndTime> qualitiesAndTimes;

    // A write's outcome per item that was still in the group when it ran:
    // the item's client handle and its result, in request order.
    struct Outcome {
        OPCHANDLE hClient;
        HRESULT error;
    };
    std::vector<Outcome> outcomes;
    // A read's or refresh's items as it found them (1.0a reads, every 2.0 one).
    std::vector<ItemReading> readings;
    // A 1.0a read's items (server handles) with the change stamp each reading
    // carries: its connection need not be sent them again.
    std::vector<std::pair<OPCHANDLE, ULONGLONG>> readStamps;
};
