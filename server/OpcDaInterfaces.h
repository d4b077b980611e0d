#pragma once
// The generated OPC interfaces, with what the server's objects need to know
// of them beyond the header: which derive from which, and which belong to
// DA 3.0 alone.
#include <windows.h>

#include "ComObject.h"
#include "OpcDa.h"

template <>
struct ComBaseInterface<IOPCSyncIO2> {
    using type = IOPCSyncIO;
};
template <>
struct ComBaseInterface<IOPCAsyncIO3> {
    using type = IOPCAsyncIO2;
};
template <>
struct ComBaseInterface<IOPCGroupStateMgt2> {
    using type = IOPCGroupStateMgt;
};

// The interfaces only a DA 3.0 client asks for.
bool IsDa3Interface(REFIID riid) noexcept;

// Whether the server offers them ("Offer OPC DA 3.0", or /Da3 off for one
// run): while off they answer E_NOINTERFACE, so that a client's fallback to
// 2.05a can be tested against this same server. Interfaces a client already
// holds keep working.
bool IsDa3Offered() noexcept;
void SetDa3Offered(bool offered) noexcept;

// The DA version a client shows by the interfaces it asks for: the highest
// seen on its server object and groups, for the operator's list of clients.
enum class DaVersion : int { None = 0, Da10a = 1, Da205a = 2, Da30 = 3 };
// The version an interface belongs to; None for those of COM itself.
DaVersion DaVersionOf(REFIID riid) noexcept;
// "1.0a", "2.05a", "3.0", or "" for None.
const wchar_t* DaVersionText(DaVersion version) noexcept;
