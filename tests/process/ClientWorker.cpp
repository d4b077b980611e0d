// A separate OPC client program for the concurrency test: connects to the
// running server again and again, reads its status and browses. The exit
// code is 0 when every round worked, otherwise the step that failed. It also
// stands in for running copies that /Close must end in other ways.
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "CloseRequest.h"
#include "OpcClient.h"
#include "OpcConstants.h"
#include "RecordingCallback.h"
#include "RecordingSink.h"
#include "ShutdownSink.h"

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

// A fast active group of the server holding Tank.Level, as the interface
// asked for, and the item's handle; null when any step failed.
template <class Interface>
ComPtr<Interface> DoomedGroup(IOPCServer* server, const wchar_t* name, OPCHANDLE* item = nullptr) {
    OPCHANDLE group = 0;
    DWORD rate = 0;
    ComPtr<IOPCItemMgt> items;
    if (server->AddGroup(name, TRUE, 20, 1, nullptr, nullptr, 0, &group, &rate, IID_IOPCItemMgt,
                         reinterpret_cast<LPUNKNOWN*>(items.GetAddressOf())) != S_OK) {
        return nullptr;
    }
    OPCITEMDEF def{};
    def.szAccessPath = const_cast<LPWSTR>(L"");
    def.szItemID = const_cast<LPWSTR>(L"Tank.Level");
    def.bActive = TRUE;
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    const HRESULT added = items->AddItems(1, &def, &results, &errors);
    if (added == S_OK && item != nullptr) *item = results[0].hServer;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    ComPtr<Interface> wanted;
    if (added != S_OK || FAILED(items.As(&wanted))) return nullptr;
    return wanted;
}

// Says through the named event that the subscription is delivering, then
// waits to be killed. A script, which has no such event, is told on
// standard output.
int SaySubscribedAndWait(int failure, bool orOnOutput = false) {
    HANDLE subscribed = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"ToviWorkerSubscribed");
    if (subscribed != nullptr) {
        SetEvent(subscribed);
    } else if (orOnOutput) {
        std::printf("subscribed\n");
        std::fflush(stdout);
    } else {
        return failure;
    }
    Sleep(INFINITE);
    return 0;
}

// Subscribes to a fast group through the 1.0a stream.
int SubscribeAndWait() {
    ComPtr<IOPCServer> server;
    if (ConnectServer(server) != S_OK) return 30;
    ComPtr<IDataObject> data = DoomedGroup<IDataObject>(server.Get(), L"Doomed");
    if (!data) return 31;
    static RecordingSink sink;
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(OPC_STREAM_FORMAT_DATATIME)), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    if (data->DAdvise(&format, 0, &sink, &connection) != S_OK) return 34;
    if (!sink.WaitFor(1, 10000)) return 35;
    return SaySubscribedAndWait(36);
}

// The same with a 2.0 callback connection.
int CallbackAndWait() {
    ComPtr<IOPCServer> server;
    if (ConnectServer(server) != S_OK) return 40;
    auto container = DoomedGroup<IConnectionPointContainer>(server.Get(), L"DoomedCallback");
    if (!container) return 41;
    static RecordingCallback sink;
    ComPtr<IConnectionPoint> point;
    if (container->FindConnectionPoint(IID_IOPCDataCallback, &point) != S_OK) return 44;
    DWORD cookie = 0;
    if (point->Advise(&sink, &cookie) != S_OK) return 45;
    if (!sink.WaitFor(1, 10000)) return 46;
    return SaySubscribedAndWait(47);
}
// A client that stops answering, as one halted in a debugger or deadlocked
// in its sinks: it names itself, leaves a shutdown sink, and takes a 1.0a
// stream and a 2.0 callback on two fast groups; once both deliver, every sink
// blocks for good and a write makes a change due to both. "keep" then holds
// on to everything; "release" lets go of it all from this thread (its last
// release) while its sinks stay stuck. "named" only names itself and leaves
// the shutdown sink, which needs no particular tag. Says so and waits to be
// killed.
int HungClient(const std::string& how) {
    ComPtr<IOPCServer> server;
    if (ConnectServer(server) != S_OK) return 70;
    ComPtr<IOPCCommon> common;
    if (FAILED(server.As(&common)) || common->SetClientName(L"Hung test client") != S_OK) return 71;
    static ShutdownSink shutdown(true);
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> shutdownPoint;
    DWORD cookie = 0;
    if (FAILED(server.As(&container)) || container->FindConnectionPoint(IID_IOPCShutdown, &shutdownPoint) != S_OK ||
        shutdownPoint->Advise(&shutdown, &cookie) != S_OK) {
        return 72;
    }
    if (how == "named") {
        static ComPtr<IOPCServer> kept = server;
        return SaySubscribedAndWait(78, true);
    }
    OPCHANDLE item = 0;
    ComPtr<IOPCSyncIO> io = DoomedGroup<IOPCSyncIO>(server.Get(), L"HungStream", &item);
    static RecordingSink sink;
    if (!io || AdviseStream(io.Get(), OPC_STREAM_FORMAT_DATATIME, &sink, &cookie) != S_OK) return 73;
    auto callbackGroup = DoomedGroup<IConnectionPointContainer>(server.Get(), L"HungCallback");
    static RecordingCallback callback;
    ComPtr<IConnectionPoint> callbackPoint;
    if (!callbackGroup || callbackGroup->FindConnectionPoint(IID_IOPCDataCallback, &callbackPoint) != S_OK ||
        callbackPoint->Advise(&callback, &cookie) != S_OK) {
        return 74;
    }
    if (!sink.WaitFor(1, 10000) || !callback.WaitFor(1, 10000)) return 75;
    sink.Close();
    callback.Close();
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_R8;
    V_R8(&value) = 0.25;
    HRESULT* errors = nullptr;
    if (io->Write(1, &item, &value, &errors) != S_OK) return 76;
    CoTaskMemFree(errors);
    Sleep(500);  // both groups' threads are in their calls by now
    if (how == "release") {
        // Said first: the release itself is what the server must not hang on.
        HANDLE said = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"ToviWorkerSubscribed");
        if (said == nullptr) return 77;
        SetEvent(said);
        io.Reset();
        callbackPoint.Reset();
        callbackGroup.Reset();
        shutdownPoint.Reset();
        container.Reset();
        common.Reset();
        server.Reset();
        Sleep(INFINITE);
    }
    static ComPtr<IOPCServer> kept = server;
    return SaySubscribedAndWait(77);
}

LRESULT CALLBACK OlderFrameProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) PostQuitMessage(0);
    return DefWindowProcW(window, message, wParam, lParam);  // WM_CLOSE destroys
}

// A main window of the program's class that never answers ("hung"), or
// answers as a version before the close request did: it knows only WM_CLOSE.
int FrameStandIn(bool hung) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = hung ? DefWindowProcW : OlderFrameProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kMainFrameClass;
    if (RegisterClassW(&wc) == 0) return 50;
    if (CreateWindowExW(0, kMainFrameClass, L"Tovi Explorer", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                        wc.hInstance, nullptr) == nullptr) {
        return 51;
    }
    if (hung) Sleep(INFINITE);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

// One round of a client that comes and goes: connects, writes and reads an
// item of its own group, subscribes to it, then ends as `how` says: "clean" releases
// everything, "abandon" ends the process holding its objects (as a client
// that dies on an exception), "killed" says so and waits to be killed, "frozen"
// the same with its sink stuck in the next call (a client halted in a debugger).
int ComeAndGo(const std::string& how) {
    ComPtr<IOPCServer> server;
    if (ConnectServer(server) != S_OK) return 50;
    static ComPtr<IOPCSyncIO> io;  // kept by the ways that never release
    io = DoomedGroup<IOPCSyncIO>(server.Get(), L"");
    if (!io) return 51;
    ComPtr<IOPCItemMgt> items;
    if (FAILED(io.As(&items))) return 52;
    ComPtr<IEnumOPCItemAttributes> attributes;
    if (items->CreateEnumerator(IID_IEnumOPCItemAttributes, reinterpret_cast<LPUNKNOWN*>(attributes.GetAddressOf())) !=
        S_OK) {
        return 53;
    }
    OPCITEMATTRIBUTES* attribute = nullptr;
    ULONG fetched = 0;
    if (attributes->Next(1, &attribute, &fetched) != S_OK || fetched != 1) return 54;
    OPCHANDLE handle = attribute->hServer;
    CoTaskMemFree(attribute->szAccessPath);
    CoTaskMemFree(attribute->szItemID);
    VariantClear(&attribute->vEUInfo);
    CoTaskMemFree(attribute);
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_R8;
    V_R8(&value) = 0.5;
    HRESULT* errors = nullptr;
    if (io->Write(1, &handle, &value, &errors) != S_OK) return 55;
    CoTaskMemFree(errors);
    OPCITEMSTATE* states = nullptr;
    if (io->Read(OPC_DS_DEVICE, 1, &handle, &states, &errors) != S_OK) return 56;
    const bool written = V_VT(&states[0].vDataValue) == VT_R8 && V_R8(&states[0].vDataValue) == 0.5;
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    if (!written) return 57;
    // Subscribed as most clients are: streams arrive until the end.
    ComPtr<IDataObject> data;
    if (FAILED(io.As(&data))) return 59;
    static RecordingSink sink;
    FORMATETC format{static_cast<CLIPFORMAT>(RegisterClipboardFormatW(OPC_STREAM_FORMAT_DATATIME)), nullptr,
                     DVASPECT_CONTENT, -1, TYMED_HGLOBAL};
    DWORD connection = 0;
    if (data->DAdvise(&format, 0, &sink, &connection) != S_OK) return 60;
    if (!sink.WaitFor(1, 10000)) return 61;
    if (how == "abandon") {
        static ComPtr<IOPCServer> kept = server;
        // Said before the exit: under Wine an exit that races a callback can
        // stall in the process's own clean-up, which is the client's affair.
        if (HANDLE exiting = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"ToviWorkerSubscribed")) SetEvent(exiting);
        ExitProcess(0);
    }
    if (how == "killed" || how == "frozen") {
        static ComPtr<IOPCServer> kept = server;
        if (how == "frozen") {
            // A change is due to it, and its stream stays stuck in the closed sink.
            sink.Close();
            V_R8(&value) = 0.75;
            if (io->Write(1, &handle, &value, &errors) != S_OK) return 63;
            CoTaskMemFree(errors);
        }
        return SaySubscribedAndWait(58);
    }
    if (data->DUnadvise(connection) != S_OK) return 62;
    data.Reset();
    attributes.Reset();
    items.Reset();
    io.Reset();
    server.Reset();
    CoUninitialize();
    return 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "hung-frame") return FrameStandIn(true);
    if (argc > 1 && std::string(argv[1]) == "older-frame") return FrameStandIn(false);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 2;
    if (argc > 2 && std::string(argv[1]) == "round") return ComeAndGo(argv[2]);
    if (argc > 1 && std::string(argv[1]) == "subscribe") return SubscribeAndWait();
    if (argc > 1 && std::string(argv[1]) == "callback") return CallbackAndWait();
    if (argc > 2 && std::string(argv[1]) == "hung") return HungClient(argv[2]);
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1;
    int result = 0;
    for (int i = 0; i < rounds && result == 0; ++i) result = Round();
    CoUninitialize();
    return result;
}
