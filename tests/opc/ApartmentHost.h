#pragma once
// A single-threaded apartment on its own thread that owns test objects; the
// caller gets them marshalled into its own apartment, so that every call goes
// through the registered proxy and stub.
#include <windows.h>
#include <objbase.h>
#include <functional>

#include "Event.h"
#include "Thread.h"

class ApartmentHost {
public:
    ApartmentHost() = default;
    ~ApartmentHost() { Stop(); }
    ApartmentHost(const ApartmentHost&) = delete;
    ApartmentHost& operator=(const ApartmentHost&) = delete;

    // Creates the object on the apartment thread with 'make' (which returns
    // one owned reference) and gives a proxy for riid in *ppv.
    HRESULT Start(std::function<IUnknown*()> make, REFIID riid, void** ppv);
    // Ends the apartment; the objects it owned are disconnected from their proxies.
    void Stop();

private:
    unsigned Run(const std::function<IUnknown*()>& make, REFIID riid);

    Thread thread_;
    AutoResetEvent ready_;
    IStream* stream_ = nullptr;
    HRESULT startResult_ = E_FAIL;
};
