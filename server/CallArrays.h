#pragma once
// The result arrays of one OPC call: allocated from the task allocator with
// overflow-checked sizes, freed unless handed to the client.
#include <windows.h>

#include "TaskMem.h"

// The error array and, where asked, the result array of one call; both are
// freed unless handed to the client.
template <class Result>
struct CallArrays {
    TaskMemPtr<Result> results;
    TaskMemPtr<HRESULT> errors;
    bool Allocate(DWORD count, bool withResults) {
        if (withResults) {
            results.reset(TaskAllocArray<Result>(count));
            if (!results) return false;
        }
        errors.reset(TaskAllocArray<HRESULT>(count));
        return errors != nullptr;
    }
};
