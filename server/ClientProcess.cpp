#include "ClientProcess.h"

#include <rpc.h>
#include <rpcdcep.h>

ClientProcess ClientProcess::OfCaller() noexcept {
    ClientProcess process;
    unsigned long id = 0;
    // The binding of the call this thread serves; fails outside a remote call.
    if (I_RpcBindingInqLocalClientPID(nullptr, &id) != RPC_S_OK || id == 0 || id == GetCurrentProcessId()) {
        return process;
    }
    HANDLE handle = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (handle == nullptr) handle = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (handle == nullptr) return process;
    try {
        process.m_handle = std::shared_ptr<void>(handle, CloseHandle);
        wchar_t path[MAX_PATH * 2];
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(handle, 0, path, &size)) {
            const std::wstring full(path, size);
            process.m_image = full.substr(full.find_last_of(L"\\/") + 1);
        }
    } catch (...) {
        if (process.m_handle == nullptr) return process;  // the handle was closed by the failed construction
    }
    process.m_id = id;
    return process;
}

bool ClientProcess::HasEnded() const noexcept {
    return m_handle != nullptr && WaitForSingleObject(m_handle.get(), 0) == WAIT_OBJECT_0;
}
