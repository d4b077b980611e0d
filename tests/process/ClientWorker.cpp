// A separate OPC client program for the concurrency test: connects to the
// running server again and again, reads its status and browses. The exit
// code is 0 when every round worked, otherwise the step that failed.
#include <windows.h>
#include <objbase.h>

#include <cstdlib>
#include <string>

#include "OpcClient.h"

namespace {
int Round() {
    ComPtr<IOPCServer> server;
    if (ConnectServer(server) != S_OK) return 10;
    OPCSERVERSTATUS* status = nullptr;
    if (server->GetStatus(&status) != S_OK || status == nullptr) return 11;
    const bool running = status->dwServerState == OPC_STATUS_RUNNING;
    CoTaskMemFree(status->szVendorInfo);
    CoTaskMemFree(status);
    if (!running) return 12;
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    if (FAILED(server.As(&browse))) return 13;
    if (Browse(browse.Get(), OPC_BRANCH).empty()) return 14;
    if (browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Pump1") != S_OK) return 15;
    std::wstring id;
    if (ItemId(browse.Get(), L"Flow", &id) != S_OK || id != L"Pump1.Flow") return 16;
    return WorkItems(server.Get());
}
}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    int result = 0;
    for (int i = 0; i < rounds && result == 0; ++i) result = Round();
    CoUninitialize();
    return result;
}
