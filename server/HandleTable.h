#pragma once
// Server handles of groups and items: nonzero 32-bit numbers that clients
// pass back. Addresses do not fit in an OPCHANDLE on 64-bit. Every handle
// comes from one process-wide counter and is never issued twice while the
// process lives, so a stale handle can never name a new object.
#include <windows.h>

#include "OpcDa.h"

// The next unused handle, or 0 once all 2^32-1 have been issued.
OPCHANDLE IssueServerHandle() noexcept;
