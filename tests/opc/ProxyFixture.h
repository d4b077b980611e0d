#pragma once
// Fixtures that put a fake server or group in a single-threaded apartment and
// hand the test (in the multithreaded apartment) proxies to it.
#include <gtest/gtest.h>
#include <wrl/client.h>

#include "ApartmentHost.h"
#include "FakeOpcGroup.h"
#include "FakeOpcServer.h"
#include "OpcConstants.h"
#include "OpcDa.h"
#include "TaskMem.h"

using Microsoft::WRL::ComPtr;

class ServerProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(host.Start([this] { return static_cast<IOPCServer*>(new FakeOpcServer(&calls, &groupCalls)); },
                                            IID_IOPCServer, reinterpret_cast<void**>(server.GetAddressOf())));
    }
    void TearDown() override {
        server.Reset();
        host.Stop();
    }

    ServerCalls calls;
    GroupCalls groupCalls;
    ApartmentHost host;
    ComPtr<IOPCServer> server;
};

class GroupProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_HRESULT_SUCCEEDED(host.Start([this] { return static_cast<IOPCGroupStateMgt*>(new FakeOpcGroup(&calls)); },
                                            IID_IOPCGroupStateMgt, reinterpret_cast<void**>(state.GetAddressOf())));
    }
    void TearDown() override {
        state.Reset();
        host.Stop();
    }

    template <class I>
    ComPtr<I> As() {
        ComPtr<I> p;
        EXPECT_HRESULT_SUCCEEDED(state.As(&p));
        return p;
    }

    GroupCalls calls;
    ApartmentHost host;
    ComPtr<IOPCGroupStateMgt> state;
};

// Frees what a proxy allocated for the caller.
struct CoTaskString {
    LPWSTR p = nullptr;
    ~CoTaskString() { CoTaskMemFree(p); }
    LPWSTR* Out() { return &p; }
    std::wstring Text() const { return p ? std::wstring(p) : std::wstring(L"<null>"); }
};
