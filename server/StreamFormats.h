#pragma once
// The clipboard format numbers of the OPC data-change and write-complete
// streams. Registered by name when the process starts, so that server and
// clients, which register the same names, agree on the numbers.
#include <windows.h>

UINT StreamFormatData() noexcept;           // "OPCSTMFORMATDATA"
UINT StreamFormatDataTime() noexcept;       // "OPCSTMFORMATDATATIME"
UINT StreamFormatWriteComplete() noexcept;  // "OPCSTMFORMATWRITECOMPLETE"
