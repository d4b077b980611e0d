#include "ApartmentHost.h"

HRESULT ApartmentHost::Start(std::function<IUnknown*()> make, REFIID riid, void** ppv) {
    *ppv = nullptr;
    const IID iid = riid;
    if (!thread_.Start([this, make = std::move(make), iid] { return Run(make, iid); })) {
        return E_FAIL;
    }
    if (ready_.Wait(10000) != WaitResult::Signalled) {
        return E_FAIL;
    }
    if (FAILED(startResult_)) {
        return startResult_;
    }
    IStream* stream = stream_;
    stream_ = nullptr;
    return CoGetInterfaceAndReleaseStream(stream, riid, ppv);
}

unsigned ApartmentHost::Run(const std::function<IUnknown*()>& make, REFIID riid) {
    startResult_ = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(startResult_)) {
        ready_.Set();
        return 1;
    }
    // The message queue exists from here on, so Stop's WM_QUIT cannot be lost.
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    IUnknown* object = make();
    startResult_ = object ? CoMarshalInterThreadInterfaceInStream(riid, object, &stream_) : E_OUTOFMEMORY;
    if (object) {
        object->Release();
    }
    ready_.Set();
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageW(&msg);
    }
    CoUninitialize();
    return 0;
}

void ApartmentHost::Stop() {
    if (thread_.IsRunning()) {
        PostThreadMessageW(thread_.Id(), WM_QUIT, 0, 0);
        thread_.Join();
    }
    if (stream_ != nullptr) {
        CoReleaseMarshalData(stream_);
        stream_->Release();
        stream_ = nullptr;
    }
}
