#pragma once
// One asynchronous call of a client, queued on its group until the group's
// asynchronous thread has carried it out and delivered its completion.
#include <windows.h>
#include <vector>

#include "OpcDa.h"
#include "Variant.h"

struct ASyncRequest {
    enum Kind : DWORD { kRead = 0, kWrite = 1, kRefresh = 2 };

    DWORD dwConnection = 0;  // the advise connection the completion goes to
    DWORD dwSource = 0;      // as given; reads always take the tag's current value
    DWORD dwTransactionID = 0;
    DWORD nType = kRead;
    std::vector<OPCHANDLE> items;  // server handles in the client's order
    std::vector<Variant> values;   // writes only

    // A write's outcome per item that was still in the group when it ran:
    // the item's client handle and its result, in request order.
    struct Outcome {
        OPCHANDLE hClient;
        HRESULT error;
    };
    std::vector<Outcome> outcomes;
};
