#pragma once
// The moment the server process started serving, reported to every client
// by IOPCServer::GetStatus. Recorded once during start-up.
#include <windows.h>

void SetServerStartTime(FILETIME time) noexcept;
// Zero until start-up has recorded it.
FILETIME ServerStartTime() noexcept;
