#include <gtest/gtest.h>

#include <iterator>
#include <vector>

#include "ServerClassFactory.h"
#include "ClientObjects.h"
#include "CloseRequest.h"
#include "CMainFrame.h"
#include "OwnDocument.h"
#include "RecordedBoxes.h"

namespace {
// Runs the thread's messages until the condition holds or the time is up.
template <class Condition>
bool PumpUntil(Condition condition, DWORD milliseconds = 3000) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message != WM_QUIT) DispatchMessageW(&msg);
        }
        if (condition()) return true;
        if (GetTickCount64() >= deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void Post(WPARAM wParam) { PostMessageW(ClientObjectWindow(), kClientObjectMessage, wParam, 0); }

class MainFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ClientObjectCount(), 0);
        ASSERT_TRUE(frame.Create(GetModuleHandleW(nullptr)));
        boxes.answer = IDNO;
    }
    void TearDown() override {
        while (ClientObjectCount() > 0) ApplyClientObjectMessage(kClientObjectFewer);
    }
    bool Alive() const { return frame.Handle() != nullptr && IsWindow(frame.Handle()); }

    OwnDocument doc;
    CMainFrame frame{doc};
    RecordedBoxes boxes;
};

const wchar_t kExitQuestion[] = L"OPC Clients are currently connected to this server, Exit anyway?";
}  // namespace

TEST_F(MainFrameTest, CountsClientObjectsFromPostedMessages) {
    EXPECT_EQ(ClientObjectWindow(), frame.Handle());
    PostClientObjectMessage(true);
    PostClientObjectMessage(true);
    PostClientObjectMessage(false);
    ASSERT_TRUE(PumpUntil([] { return ClientObjectCount() == 1; }));
    EXPECT_TRUE(AreClientsConnected());
    Post(7);  // any value but 0 is one fewer
    ASSERT_TRUE(PumpUntil([] { return ClientObjectCount() == 0; }));
    // Started by a user, the window stays when the last client goes.
    EXPECT_TRUE(Alive());
    Post(kClientObjectFewer);  // never below zero
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(ClientObjectCount(), 0);
}

TEST_F(MainFrameTest, StartedByComItEndsWithTheLastClientObject) {
    frame.SetEndWithLastClient(true);
    PostClientObjectMessage(true);
    PostClientObjectMessage(true);
    PostClientObjectMessage(false);
    ASSERT_TRUE(PumpUntil([] { return ClientObjectCount() == 1; }));
    EXPECT_TRUE(Alive());
    PostClientObjectMessage(false);
    ASSERT_TRUE(PumpUntil([this] { return !Alive(); }));
    // With no main window any more nothing is posted, and no box is asked.
    EXPECT_EQ(ClientObjectWindow(), nullptr);
    PostClientObjectMessage(true);
    PumpUntil([] { return false; }, 100);
    EXPECT_EQ(ClientObjectCount(), 0);
    EXPECT_TRUE(boxes.texts.empty());
}

TEST_F(MainFrameTest, TheLastClientsGoingEndsTheProcessOnlyWhenNoneCameInMeanwhile) {
    // The handler withdraws the class object and says whether a client came
    // in meanwhile; it is asked at every zero, and only its yes ends.
    frame.SetEndWithLastClient(true);
    std::vector<long> askedAt;
    const bool verdicts[] = {false, false, true};
    frame.SetLastClientGoneHandler([&] {
        askedAt.push_back(ClientObjectCount());
        return verdicts[askedAt.size() - 1];
    });
    for (size_t round = 0; round < std::size(verdicts); ++round) {
        PostClientObjectMessage(true);
        PostClientObjectMessage(true);
        PostClientObjectMessage(false);
        ASSERT_TRUE(PumpUntil([] { return ClientObjectCount() == 1; }));
        EXPECT_EQ(askedAt.size(), round) << "not asked while a client object lives";
        PostClientObjectMessage(false);
        ASSERT_TRUE(PumpUntil([&] { return askedAt.size() == round + 1; }));
        PumpUntil([] { return false; }, 50);
        EXPECT_EQ(Alive(), !verdicts[round]) << "round " << round;
    }
    EXPECT_EQ(askedAt, (std::vector<long>{0, 0, 0}));
}

TEST_F(MainFrameTest, LockServerKeepsAComStartedProcessAlive) {
    // LockServer from other processes is answered in the client's proxy, so
    // the class factory is called here directly.
    frame.SetEndWithLastClient(true);
    ServerClassFactory* factory = ServerClassFactory::Create([](IUnknown**) { return E_OUTOFMEMORY; });
    ASSERT_NE(factory, nullptr);
    factory->LockServer(TRUE);
    PostClientObjectMessage(true);   // a server object comes
    PostClientObjectMessage(false);  // and goes
    ASSERT_TRUE(PumpUntil([] { return ClientObjectCount() == 1; }));
    PumpUntil([] { return false; }, 200);
    EXPECT_TRUE(Alive());
    factory->LockServer(FALSE);
    EXPECT_TRUE(PumpUntil([this] { return !Alive(); }));
    factory->Release();
}

TEST_F(MainFrameTest, CloseAsksWhileClientsAreConnected) {
    PostClientObjectMessage(true);
    ASSERT_TRUE(PumpUntil([] { return ClientObjectCount() == 1; }));
    SendMessageW(frame.Handle(), WM_CLOSE, 0, 0);
    ASSERT_EQ(boxes.texts, std::vector<std::wstring>{kExitQuestion});
    EXPECT_EQ(boxes.styles[0], static_cast<UINT>(MB_YESNO | MB_ICONEXCLAMATION));
    EXPECT_TRUE(Alive());

    PostClientObjectMessage(false);
    ASSERT_TRUE(PumpUntil([] { return ClientObjectCount() == 0; }));
    SendMessageW(frame.Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(boxes.texts.size(), 1u);  // no clients: no question
    EXPECT_FALSE(Alive());
}

TEST_F(MainFrameTest, ACloseRequestIsAcceptedAtOnceAndCarriedOutAtIdleWithoutAQuestion) {
    // Sent from another process it may arrive inside a dialog's loop: the
    // window must not go from under the dialog.
    EXPECT_EQ(SendMessageW(frame.Handle(), CloseRequestMessage(), 0, 0), kCloseRequestAccepted);
    PumpUntil([] { return false; }, 100);
    EXPECT_TRUE(Alive());
    frame.OnIdle();
    EXPECT_FALSE(Alive());
    EXPECT_TRUE(boxes.texts.empty());
}

TEST_F(MainFrameTest, HandsItsCommandsOnAndEndsTheLoopWhenDestroyed) {
    std::vector<UINT> commands;
    frame.SetCommandHandler([&commands](UINT command) {
        commands.push_back(command);
        return command == 57600;
    });
    SendMessageW(frame.Handle(), WM_COMMAND, MAKEWPARAM(57600, 0), 0);
    SendMessageW(frame.Handle(), WM_COMMAND, MAKEWPARAM(57664, 0), 0);
    EXPECT_EQ(commands, (std::vector<UINT>{57600, 57664}));

    DestroyWindow(frame.Handle());
    MSG msg;
    bool quit = false;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) quit = quit || msg.message == WM_QUIT;
    EXPECT_TRUE(quit);
}
