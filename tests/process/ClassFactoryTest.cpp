#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "ServerClassFactory.h"
#include "ClassObjectThread.h"
#include "ClientMessageRecorder.h"
#include "ClientObjects.h"
#include "ComObject.h"
#include "ServerModule.h"

namespace {
// Stands in for a server object: one more object while it lives, as the
// real one; it answers IUnknown and IPersist.
std::atomic<int> g_liveObjects{0};
std::atomic<int> g_created{0};
HRESULT g_creatorResult = S_OK;

class FakeServerObject final : public ComObject<IPersist> {
public:
    FakeServerObject() : ComObject(1) { ++g_liveObjects; }
    ~FakeServerObject() override {
        --g_liveObjects;
        PostClientObjectMessage(false);
    }
    STDMETHODIMP GetClassID(CLSID* clsid) override {
        *clsid = CLSID_NULL;
        return S_OK;
    }
};

HRESULT CreateFake(IUnknown** object) {
    if (FAILED(g_creatorResult)) return g_creatorResult;
    ++g_created;
    *object = new FakeServerObject;
    return S_OK;
}

class ClassFactoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_creatorResult = S_OK;
        g_created = 0;
        factory = ServerClassFactory::Create(&CreateFake);
        ASSERT_NE(factory, nullptr);
    }
    void TearDown() override {
        factory->Release();
        EXPECT_EQ(g_liveObjects.load(), 0);
    }
    ServerClassFactory* factory = nullptr;
    ClientMessageRecorder recorder;
};

const std::vector<WPARAM> kNone{};
const std::vector<WPARAM> kOneMore{kClientObjectMore};
const std::vector<WPARAM> kMoreThenFewer{kClientObjectMore, kClientObjectFewer};

// A test class that no registry knows, so nothing is ever started for it.
const CLSID kTestClsid = {0x5B0C1F7A, 0x0D7E, 0x4E55, {0x9A, 0x41, 0x3C, 0x62, 0x11, 0x8E, 0x20, 0x7D}};
}  // namespace

TEST_F(ClassFactoryTest, NewObjectHoldsOnlyTheClientsReference) {
    IPersist* object = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&object)), S_OK);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(recorder.Pump(), kOneMore);
    EXPECT_EQ(g_liveObjects.load(), 1);
    EXPECT_EQ(object->Release(), 0u);
    EXPECT_EQ(g_liveObjects.load(), 0);
    EXPECT_EQ(recorder.Pump(), kMoreThenFewer);
}

TEST_F(ClassFactoryTest, UnsupportedInterfaceLeavesTheCountWhereItWas) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IDataObject, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_created.load(), 1);
    EXPECT_EQ(g_liveObjects.load(), 0);
    EXPECT_EQ(recorder.Pump(), kMoreThenFewer);
}

TEST_F(ClassFactoryTest, RefusalsCreateNothingAndPostNothing) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, nullptr), E_POINTER);
    EXPECT_EQ(factory->CreateInstance(reinterpret_cast<IUnknown*>(factory), IID_IUnknown, &object),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(object, nullptr);
    g_creatorResult = E_OUTOFMEMORY;
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, &object), E_OUTOFMEMORY);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_created.load(), 0);
    EXPECT_EQ(recorder.Pump(), kNone);
}

TEST_F(ClassFactoryTest, AProcessClosedToClientsAdmitsNoneAndClosesOnlyWhenNoneLives) {
    IPersist* object = nullptr;
    // Earlier cases in this process may have left counts behind: gone, unseen.
    const HWND window = ClientObjectWindow();
    SetClientObjectWindow(nullptr);
    while (LiveClientObjects() > 0) PostClientObjectMessage(false);
    SetClientObjectWindow(window);
    // Closed with nothing alive: a request that still arrives is turned away.
    ASSERT_TRUE(CloseToClients());
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&object)), CO_E_SERVER_STOPPING);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(g_created.load(), 0);
    EXPECT_EQ(LiveClientObjects(), 0);
    ReopenToClients();
    // A live object, or one being made, keeps the process open.
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IPersist, reinterpret_cast<void**>(&object)), S_OK);
    EXPECT_EQ(LiveClientObjects(), 1);
    EXPECT_FALSE(CloseToClients());
    ASSERT_TRUE(AdmitClientObject()) << "closing failed: still open";
    object->Release();
    EXPECT_EQ(LiveClientObjects(), 1) << "the admission under way";
    EXPECT_FALSE(CloseToClients());
    EndAdmission();
    EXPECT_EQ(LiveClientObjects(), 0);
    EXPECT_TRUE(CloseToClients());
    EXPECT_FALSE(AdmitClientObject());
    ReopenToClients();
    EXPECT_EQ(recorder.Pump(), kMoreThenFewer);
}

TEST_F(ClassFactoryTest, LockServerCountsAsOneClientObject) {
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(recorder.Pump(), kOneMore);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(recorder.Pump(), kMoreThenFewer);
}

TEST_F(ClassFactoryTest, AnswersOnlyItsOwnInterfaces) {
    IClassFactory* asFactory = nullptr;
    ASSERT_EQ(factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(&asFactory)), S_OK);
    EXPECT_EQ(asFactory, static_cast<IClassFactory*>(factory));
    asFactory->Release();
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(factory->QueryInterface(IID_IMarshal, &other), E_NOINTERFACE);
    EXPECT_EQ(other, nullptr);
    // The factory's own references are no client objects.
    EXPECT_EQ(recorder.Pump(), kNone);
}

TEST(ClassObjectThreadTest, OffersTheFactoryUntilStopped) {
    ClientMessageRecorder recorder;
    ServerModule module(kTestClsid);
    ASSERT_TRUE(module.Init(&CreateFake));
    ClassObjectThread thread;
    ASSERT_TRUE(thread.Start(module));
    EXPECT_EQ(thread.RegistrationResult(), S_OK);
    EXPECT_NE(thread.ThreadId(), GetCurrentThreadId());
    EXPECT_TRUE(module.IsClassObjectRegistered());

    // A client of the registered class object gets a new server object.
    IPersist* object = nullptr;
    ASSERT_EQ(
        CoCreateInstance(kTestClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IPersist, reinterpret_cast<void**>(&object)),
        S_OK);
    object->Release();
    EXPECT_EQ(recorder.Pump(2, 5000), kMoreThenFewer);

    thread.Stop();
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_FALSE(module.IsClassObjectRegistered());
    IUnknown* none = nullptr;
    EXPECT_NE(CoCreateInstance(kTestClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IUnknown, reinterpret_cast<void**>(&none)),
              S_OK);
    EXPECT_EQ(none, nullptr);
    thread.Stop();  // a second stop finds nothing to do
}
