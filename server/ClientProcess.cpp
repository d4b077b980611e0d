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
    HANDLE handle = OpenProcess(SYNCHRONIZE, FALSE, id);
    if (handle == nullptr) return process;
    try {
        process.m_handle = std::shared_ptr<void>(handle, CloseHandle);
    } catch (...) {
        return process;  // the handle was closed by the failed construction
    }
    process.m_id = id;
    return process;
}

bool ClientProcess::HasEnded() const noexcept {
    return m_handle != nullptr && WaitForSingleObject(m_handle.get(), 0) == WAIT_OBJECT_0;
}
