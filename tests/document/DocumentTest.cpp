#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ClientObjects.h"
#include "OPCS_Doc.h"
#include "OwnDocument.h"
#include "MessageBoxes.h"
#include "PropertyDialogs.h"
#include "RecordedBoxes.h"
#include "ScriptedDialogs.h"
#include "ToviDevice.h"
#include "ToviTag.h"
#include "ToviTagGroup.h"
#include "WaitFor.h"

namespace {
struct RecordingView : DocumentView {
    void OnUpdate(DocumentView*, int hint, void* object) override {
        hints.push_back(hint);
        objects.push_back(object);
    }
    void* GetSelectedObject() override { return selected; }
    std::vector<int> hints;
    std::vector<void*> objects;
    void* selected = nullptr;
};

ToviDevice* Device(const std::wstring& name) {
    auto* d = new ToviDevice;
    d->Rename(name);
    return d;
}
}  // namespace

TEST(DocumentTest, FindTagSplitsAtTheFirstDotAndMatchesDevicesWithoutCase) {
    OwnDocument doc;
    ToviDevice* pump = Device(L"Pump");
    ASSERT_TRUE(doc.AddDevice(Device(L"Boiler")));
    ASSERT_TRUE(doc.AddDevice(pump));
    auto* tag = new ToviTag;
    tag->Rename(L"Tag1");
    ASSERT_TRUE(doc.AddTagTo(pump, tag));
    EXPECT_EQ(tag, doc.FindTag(L"pump.Tag1"));
    EXPECT_EQ(tag, doc.FindTag(L"PUMP.TAG1"));
    EXPECT_EQ(nullptr, doc.FindTag(L"Tag1"));
    EXPECT_EQ(nullptr, doc.FindTag(L".Tag1"));
    EXPECT_EQ(nullptr, doc.FindTag(L"Pump."));
    EXPECT_EQ(nullptr, doc.FindTag(L"Boiler.Tag1"));
    EXPECT_EQ(nullptr, doc.FindTag(L""));
}

TEST(DocumentTest, AdditionsNotifyTheViewsAndMarkTheDocument) {
    OwnDocument doc;
    RecordingView view;
    doc.SetDeviceView(&view);
    ToviDevice* device = Device(L"Pump");
    ASSERT_TRUE(doc.AddDevice(device));
    EXPECT_TRUE(doc.IsModified());
    auto* group = new ToviTagGroup;
    ASSERT_TRUE(doc.AddGroupTo(device, group));
    auto* clash = new ToviTagGroup;  // same default name: refused
    EXPECT_FALSE(doc.AddGroupTo(device, clash));
    delete clash;
    EXPECT_FALSE(doc.AddDevice(nullptr));
    EXPECT_EQ((std::vector<int>{kHintDeviceAdded, kHintGroupAdded}), view.hints);
    EXPECT_EQ(device, view.objects[0]);
    doc.SetDeviceView(nullptr);
}

TEST(DocumentTest, DeleteIsRefusedWhileInUseAndWithAMessage) {
    RecordedBoxes boxes;
    OwnDocument doc;
    ToviDevice* device = Device(L"Pump");
    doc.AddDevice(device);
    auto* group = new ToviTagGroup;
    doc.AddGroupTo(device, group);
    auto* tag = new ToviTag;
    doc.AddTagTo(group, tag);
    tag->AddClientReference();
    EXPECT_FALSE(doc.DeleteItem(group));
    ASSERT_EQ(1u, boxes.texts.size());
    EXPECT_EQ(L"Unable to delete while device active and/or clients are attached.", boxes.texts[0]);
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONSTOP), boxes.styles[0]);
    tag->ReleaseClientReference();

    device->RequestPollStart(kPollOperator);
    EXPECT_FALSE(doc.DeleteItem(device));  // busy
    device->RequestPollStop(kPollOperator);
    EXPECT_TRUE(doc.DeleteItem(group));
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(group));
    EXPECT_FALSE(OPCS_Tag::IsValidTag(tag));
    EXPECT_TRUE(doc.DeleteItem(device));
    EXPECT_EQ(0, doc.DeviceCount());
    EXPECT_FALSE(doc.DeleteItem(device));  // already gone: no dereference
}

TEST(DocumentTest, NewAndOpenAreRefusedWhileClientsAreConnected) {
    RecordedBoxes boxes;
    OwnDocument doc;
    doc.AddDevice(Device(L"Pump"));
    ApplyClientObjectMessage(kClientObjectMore);
    EXPECT_FALSE(doc.OnNewDocument());
    EXPECT_FALSE(doc.OnOpenDocument(L"C:\\nowhere.tvf"));
    EXPECT_EQ(1, doc.DeviceCount());
    ASSERT_EQ(2u, boxes.texts.size());
    EXPECT_EQ(L"Cannot change files while OPC Clients are connected to this server.", boxes.texts[1]);
    ApplyClientObjectMessage(kClientObjectFewer);
    EXPECT_FALSE(AreClientsConnected());
}

// How names are proposed is the tree's (ProductDeviceTest, TagTreeTest).
TEST(DocumentTest, AddCommandsNameNewObjectsAndCancelDeletesThem) {
    ScriptedDialogs dialogs;
    OwnDocument doc;
    doc.SetDialogs(&dialogs);
    RecordingView view;
    doc.SetDeviceView(&view);
    doc.AddDevice(Device(L"TagGroup"));
    doc.OnAddDevice();
    ASSERT_EQ(2, doc.DeviceCount());
    Dll<OPCS_Device*> devices;
    doc.CopyDeviceList(devices);
    OPCS_Device* second = *std::next(devices.begin());
    EXPECT_EQ(L"TagGroup v2", second->GetName());
    view.selected = second;
    second->AddTag(new ToviTag);  // "Tag"
    doc.OnAddTag();
    EXPECT_NE(nullptr, doc.FindTag(L"TagGroup v2.Tag1"));
    doc.OnAddNestedGroup();
    EXPECT_EQ(1, second->GroupCount());

    dialogs.answer = false;
    doc.OnAddDevice();
    doc.OnAddTag();
    EXPECT_EQ(2, doc.DeviceCount());
    EXPECT_EQ(nullptr, doc.FindTag(L"TagGroup v2.Tag2"));
    doc.SetDeviceView(nullptr);
}

TEST(DocumentTest, PollAllRequestsOnlyWhereMissing) {
    OwnDocument doc;
    RecordingView view;
    doc.SetDeviceView(&view);
    bool checked = true;
    EXPECT_FALSE(doc.QueryPollAllState(&checked));
    EXPECT_FALSE(checked);
    ToviDevice* a = Device(L"A");
    ToviDevice* b = Device(L"B");
    doc.AddDevice(a);
    doc.AddDevice(b);
    view.selected = a;
    doc.OnStartPollingDevice();
    doc.OnStartPollingDevice();  // already has one
    EXPECT_EQ(1u, a->GetPollRequests(kPollOperator));
    EXPECT_TRUE(a->PollsOnOpen());  // kept in the file
    EXPECT_TRUE(doc.QueryPollAllState(&checked));
    EXPECT_FALSE(checked);
    doc.OnPollAllDevices();
    EXPECT_EQ(1u, a->GetPollRequests(kPollOperator));
    EXPECT_EQ(1u, b->GetPollRequests(kPollOperator));
    EXPECT_TRUE(doc.QueryPollAllState(&checked));
    EXPECT_TRUE(checked);
    doc.OnPollAllDevices();
    EXPECT_EQ(0u, a->GetPollRequests(kPollOperator));
    EXPECT_EQ(0u, b->GetPollRequests(kPollOperator));
    EXPECT_FALSE(a->PollsOnOpen());
    view.selected = b;
    doc.OnStopPollingDevice();
    EXPECT_EQ(0u, b->GetPollRequests(kPollOperator));
    doc.SetDeviceView(nullptr);
}

TEST(DocumentTest, ClearingTellsTheViewsBeforeFreeing) {
    OwnDocument doc;
    struct CheckingView : DocumentView {
        OPCS_Device* watched = nullptr;
        bool validWhenCleared = false;
        void OnUpdate(DocumentView*, int hint, void*) override {
            if (hint == kHintCleared) validWhenCleared = OPCS_TagGroup::IsValidGroup(watched);
        }
    } view;
    doc.SetTagView(&view);
    view.watched = Device(L"Pump");
    doc.AddDevice(view.watched);
    doc.DeleteContents();
    EXPECT_TRUE(view.validWhenCleared);
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(view.watched));
    doc.SetTagView(nullptr);
}

// Whatever the document shows (a box, a view update) it shows with the
// configuration lock free: a client resolving an item on another thread goes
// on meanwhile.
TEST(DocumentTest, BoxesAndViewUpdatesNeverHoldTheConfigurationLock) {
    OwnDocument doc;
    std::vector<std::string> held;  // where a box or update kept a client waiting
    std::vector<std::thread> clients;
    int shown = 0;
    std::string action;
    // What a client's AddItems and browse do meanwhile, on another thread: it
    // must end while the box or the update is still on.
    auto check = [&](const char* what) {
        ++shown;
        auto done = std::make_shared<std::atomic<bool>>(false);
        clients.emplace_back([&doc, done] {
            doc.FindTag(L"Idle.Tag1");
            Dll<OPCS_Device*> devices;
            doc.CopyDeviceList(devices);
            *done = true;
        });
        if (!WaitFor(5000, [&done] { return done->load(); })) held.push_back(action + ": " + what);
    };
    SetMessageBoxHandler([&](const std::wstring&, const std::wstring&, UINT style) {
        check("box");
        return DefaultAnswer(style);
    });
    struct ProbingView : DocumentView {
        std::function<void()> probe;
        void OnUpdate(DocumentView*, int, void*) override { probe(); }
    } view;
    view.probe = [&] { check("view update"); };
    doc.SetDeviceView(&view);
    ToviDevice* busy = Device(L"Busy");
    ToviDevice* idle = Device(L"Idle");
    auto* group = new ToviTagGroup;
    const std::vector<std::pair<const char*, std::function<void()>>> actions = {
        {"add device",
         [&] {
             doc.AddDevice(busy);
             doc.AddDevice(idle);
         }},
        {"add group", [&] { doc.AddGroupTo(idle, group); }},
        {"add tag", [&] { doc.AddTagTo(group, new ToviTag); }},
        {"refused delete",
         [&] {
             busy->RequestPollStart(kPollOperator);
             EXPECT_FALSE(doc.DeleteItem(busy));
         }},
        {"delete", [&] { EXPECT_TRUE(doc.DeleteItem(group)); }},
        {"clear",
         [&] {
             busy->RequestPollStop(kPollOperator);
             doc.DeleteContents();
         }},
    };
    for (const auto& [name, run] : actions) {
        action = name;
        const int before = shown;
        run();
        for (std::thread& client : clients) client.join();  // a waiting one goes on once the lock is free
        clients.clear();
        EXPECT_GT(shown, before) << name << ": nothing shown, nothing checked";
    }
    doc.SetDeviceView(nullptr);
    SetMessageBoxHandler({});
    EXPECT_TRUE(held.empty()) << ::testing::PrintToString(held);
}
