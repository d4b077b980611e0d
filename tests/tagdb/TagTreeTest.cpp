#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <map>
#include <memory>

#include "TagDbFixtures.h"

namespace {
// Boiler { Level, Temperatures { Inlet, Sub { Inlet } } }
struct BoilerTree {
    PlainDevice device{L"Boiler"};
    ToviTagGroup* temperatures = NewGroup(L"Temperatures");
    ToviTagGroup* sub = NewGroup(L"Sub");
    ToviTag* level = NewTag(L"Level");
    ToviTag* inlet = NewTag(L"Inlet");
    ToviTag* deepInlet = NewTag(L"Inlet");
    BoilerTree() {
        EXPECT_TRUE(device.AddTag(level));
        EXPECT_TRUE(device.AddGroup(temperatures));
        EXPECT_TRUE(temperatures->AddTag(inlet));
        EXPECT_TRUE(temperatures->AddGroup(sub));
        EXPECT_TRUE(sub->AddTag(deepInlet));
    }
};
}  // namespace

TEST(TagTreeTest, ItemIdsAndFindTagByCaseInsensitiveNamesAndDepth) {
    BoilerTree t;
    EXPECT_EQ(L"Boiler.", t.device.GetPath());
    EXPECT_EQ(L"Boiler.Temperatures.Sub.Inlet", t.deepInlet->GetItemID());
    EXPECT_EQ(&t.device, t.sub->GetDevice());
    EXPECT_EQ(t.inlet, t.device.FindTag(L"Temperatures.Inlet"));
    EXPECT_EQ(t.inlet, t.device.FindTag(L"TEMPERATURES.INLET"));
    EXPECT_EQ(t.deepInlet, t.device.FindTag(L"Temperatures.Sub.Inlet"));
    EXPECT_EQ(t.level, t.device.FindTag(L"level"));
    EXPECT_EQ(nullptr, t.device.FindTag(L"Temperatures"));  // a group, not a tag
    EXPECT_EQ(nullptr, t.device.FindTag(L"Temperatures.Sub"));
    EXPECT_EQ(nullptr, t.device.FindTag(L"Temperatures.Missing.Inlet"));
    EXPECT_EQ(nullptr, t.device.FindTag(L""));
    EXPECT_EQ(nullptr, t.device.FindTag(L"."));
    EXPECT_EQ(nullptr, t.device.FindTag(L"Temperatures..Inlet"));
    // Only the matching head is descended: Sub's Inlet is not found from the device.
    EXPECT_EQ(nullptr, t.device.FindTag(L"Sub.Inlet"));
}

TEST(TagTreeTest, AdoptionRefusesClashesAndSecondOwners) {
    BoilerTree t;
    std::unique_ptr<ToviTag> clash(NewTag(L"level"));
    EXPECT_FALSE(t.device.AddTag(clash.get()));
    EXPECT_TRUE(t.temperatures->AddTag(clash.release()));  // fine elsewhere
    std::unique_ptr<ToviTagGroup> groupClash(NewGroup(L"temperatures"));
    EXPECT_FALSE(t.device.AddGroup(groupClash.get()));
    // Already owned, or an ancestor: adopting would corrupt the tree.
    EXPECT_FALSE(t.sub->AddTag(t.level));
    EXPECT_FALSE(t.sub->AddGroup(t.temperatures));
    EXPECT_FALSE(t.sub->AddGroup(t.sub));
    EXPECT_FALSE(t.device.AddTag(nullptr));
    int notATag = 0;
    EXPECT_FALSE(t.device.AddTag(reinterpret_cast<OPCS_Tag*>(&notATag)));
}

TEST(TagTreeTest, RemovalRespectsReferencesAndLock) {
    BoilerTree t;
    t.level->AddClientReference();
    EXPECT_FALSE(t.device.RemoveTag(t.level));
    t.level->ReleaseClientReference();
    t.inlet->SetLocked(true);
    EXPECT_FALSE(t.temperatures->RemoveTag(t.inlet));
    EXPECT_FALSE(t.temperatures->CanDelete());
    EXPECT_EQ(t.inlet, t.device.FindTag(L"Temperatures.Inlet"));
    t.inlet->SetLocked(false);
    t.deepInlet->AddClientReference();
    EXPECT_FALSE(t.temperatures->CanDelete());  // in use below
    t.deepInlet->ReleaseClientReference();
    EXPECT_TRUE(t.temperatures->CanDelete());

    ASSERT_TRUE(t.device.RemoveTag(t.level));
    std::unique_ptr<OPCS_Tag> removed(t.level);
    EXPECT_EQ(nullptr, removed->GetOwner());
    EXPECT_EQ(nullptr, t.device.FindTag(L"Level"));
    EXPECT_FALSE(t.device.RemoveTag(removed.get()));  // not ours any more
    ASSERT_TRUE(t.device.RemoveGroup(t.temperatures));
    std::unique_ptr<OPCS_TagGroup> removedGroup(t.temperatures);
    EXPECT_EQ(nullptr, t.device.FindTag(L"Temperatures.Inlet"));
    EXPECT_EQ(L"Temperatures.Inlet", t.inlet->GetItemID());
}

// Separators, a name's own other case and tag-group pairs are in the table below.
TEST(TagTreeTest, RenamesRefuseSiblingClashesAndMoveTheIndexes) {
    BoilerTree t;
    ToviTag* tag1 = NewTag(L"Tag1");
    ASSERT_TRUE(t.device.AddTag(tag1));
    tag1->Rename(L"LEVEL");  // a sibling in other case
    EXPECT_EQ(L"Tag1", tag1->GetName());
    tag1->Rename(L"Pressure");
    EXPECT_EQ(tag1, t.device.FindTag(L"pressure"));
    EXPECT_EQ(nullptr, t.device.FindTag(L"Tag1"));
    t.sub->Rename(L"X.Y");
    EXPECT_EQ(t.deepInlet, t.device.FindTag(L"Temperatures.x y.Inlet"));
    ToviTagGroup* other = NewGroup(L"Other");
    ASSERT_TRUE(t.temperatures->AddGroup(other));
    other->Rename(L"x y");  // a sibling in other case
    EXPECT_EQ(L"Other", other->GetName());
}

// What a dialog is told before its OK is what the rename or adoption then
// does: a refused name is refused, any other is taken as the rename stores it.
TEST(TagTreeTest, NameRefusalsForetellRenamesAndAdoptions) {
    struct Case {
        int object;  // 0 the tag Inlet, 1 a new tag, 2 the group Sub, 3 a new group; all in Temperatures
        const wchar_t* name;
        const wchar_t* refusal;  // a part of the words, or null when the name is taken
    };
    const Case cases[] = {
        {0, L"Inlet", nullptr},
        {0, L"Out.let", nullptr},
        {0, L"INLET", L"only in letter case"},
        {0, L"sub", nullptr},
        {1, L"inlet", L"tag named \"Inlet\" in Boiler.Temperatures"},
        {1, L"In.let", nullptr},
        {2, L"SUB", nullptr},
        {2, L"Sub", nullptr},
        {2, L"Inlet", nullptr},
        {3, L"sub", L"group named \"Sub\" in Boiler.Temperatures"},
        {3, L"S.ub", nullptr},
        {0, L"Level", nullptr},
        {3, L"Level", nullptr},
        {2, L"_CONTROL", L"\"_CONTROL\" is reserved for the fault control items"},
        {3, L"_Control", L"reserved"},
        {1, L"_Control", nullptr},  // a tag may bear it: no control item is at a tag's place
    };
    for (const Case& c : cases) {
        BoilerTree t;
        std::unique_ptr<ToviTag> newTag(NewTag(L"New"));
        std::unique_ptr<ToviTagGroup> newGroup(NewGroup(L"New"));
        const bool isTag = c.object < 2;
        std::wstring refusal;
        bool taken = false;
        if (isTag) {
            OPCS_Tag* tag = c.object == 0 ? static_cast<OPCS_Tag*>(t.inlet) : newTag.get();
            refusal = t.temperatures->TagNameRefusal(tag, c.name);
            tag->Rename(c.name);
            if (c.object == 1 && t.temperatures->AddTag(tag)) newTag.release();
            taken = tag->GetOwner() == t.temperatures && t.temperatures->FindTag(tag->GetName()) == tag;
            std::wstring stored = c.name;
            std::replace(stored.begin(), stored.end(), L'.', L' ');
            taken = taken && tag->GetName() == stored;
        } else {
            OPCS_TagGroup* group = c.object == 2 ? static_cast<OPCS_TagGroup*>(t.sub) : newGroup.get();
            refusal = t.temperatures->GroupNameRefusal(group, c.name);
            group->Rename(c.name);
            if (c.object == 3 && t.temperatures->AddGroup(group)) newGroup.release();
            std::wstring stored = c.name;
            std::replace(stored.begin(), stored.end(), L'.', L' ');
            taken = group->GetName() == stored && group->GetParent() == t.temperatures;
        }
        EXPECT_EQ(c.refusal == nullptr, taken) << c.object << " " << std::string(c.name, c.name + wcslen(c.name));
        if (c.refusal == nullptr) {
            EXPECT_EQ(L"", refusal);
        } else {
            EXPECT_NE(std::wstring::npos, refusal.find(c.refusal)) << std::string(refusal.begin(), refusal.end());
        }
    }
}

TEST(TagTreeTest, UniqueNamesTakeTheFirstFreeNumber) {
    PlainDevice device;
    device.AddTag(NewTag(L"Tag1"));
    device.AddTag(NewTag(L"tag3"));
    EXPECT_EQ(L"Tag2", device.MakeUniqueTagName(L"Tag"));
    device.AddTag(NewTag(L"TAG2"));
    EXPECT_EQ(L"Tag4", device.MakeUniqueTagName(L"Tag"));
    EXPECT_EQ(L"Group1", device.MakeUniqueGroupName(L"Group"));
}

TEST(TagTreeTest, DeviceNamesAreCheckedAcrossLiveDevices) {
    PlainDevice a(L"TagGroup");
    {
        PlainDevice b(L"Pump");
        EXPECT_FALSE(OPCS_Device::IsDeviceNameFree(&a, L"pump"));
        EXPECT_TRUE(OPCS_Device::IsDeviceNameFree(&b, L"PUMP"));  // its own name
    }
    EXPECT_TRUE(OPCS_Device::IsDeviceNameFree(&a, L"pump"));
    EXPECT_FALSE(OPCS_Device::IsDeviceNameFree(nullptr, L"TAGGROUP"));
    EXPECT_NE(std::wstring::npos, OPCS_Device::DeviceNameRefusal(&a, L"_control").find(L"reserved"));
    a.Rename(L"_Control");
    EXPECT_EQ(L"TagGroup", a.GetName()) << "a reserved name is never taken";
}

TEST(TagTreeTest, DestroyedObjectsFailValidityWithoutBeingRead) {
    auto* device = new PlainDevice;
    ToviTagGroup* group = NewGroup(L"G");
    ToviTag* tag = NewTag(L"T");
    ToviTag* free = NewTag(L"F");
    ASSERT_TRUE(device->AddGroup(group));
    ASSERT_TRUE(group->AddTag(tag));
    EXPECT_TRUE(OPCS_Tag::IsValidTag(tag));
    EXPECT_TRUE(OPCS_TagGroup::IsValidGroup(group));
    EXPECT_FALSE(OPCS_Tag::IsValidTag(group));
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(tag));
    delete device;  // owns and deletes everything below
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(device));
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(group));
    EXPECT_FALSE(OPCS_Tag::IsValidTag(tag));
    EXPECT_TRUE(OPCS_Tag::IsValidTag(free));
    delete free;
    EXPECT_FALSE(OPCS_Tag::IsValidTag(free));
    // A pointer into memory that was handed back to the system is refused too.
    void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    ASSERT_NE(nullptr, page);
    VirtualFree(page, 0, MEM_RELEASE);
    EXPECT_FALSE(OPCS_Tag::IsValidTag(page));
    EXPECT_FALSE(OPCS_TagGroup::IsValidGroup(page));
}

TEST(TagTreeTest, StructureChangesReachTheDevice) {
    BoilerTree t;
    ConfigurationProbe probe(t.device);
    t.device.SetStructureChanged(false);
    t.sub->AddTag(NewTag(L"New"));
    EXPECT_TRUE(t.device.IsStructureChanged());
    EXPECT_TRUE(probe.Marked());
}

// The UA endpoint hears of tags only this way: from every depth, and from no
// tree that no configuration holds.
TEST(TagTreeTest, EveryTagChangeReachesTheConfigurationsObserver) {
    struct Observer : TagChangeObserver {
        std::map<OPCS_Tag*, int> changes;
        int shapes = 0;
        void TagChanged(OPCS_Tag* tag) noexcept override { ++changes[tag]; }
        void ShapeChanged() noexcept override { ++shapes; }
    } observer;
    BoilerTree t;
    ConfigurationProbe probe(t.device);
    probe.configuration.SetTagChangeObserver(&observer);
    for (ToviTag* tag : {t.level, t.inlet, t.deepInlet}) {
        probe.Reset();
        tag->SetValueNow(Variant::FromDouble(1));
        tag->SetQuality(OPC_QUALITY_BAD);
        tag->SetDescription(L"Changed");
        EXPECT_EQ(3, observer.changes[tag]) << tag->GetItemID();
        EXPECT_TRUE(probe.Marked()) << tag->GetItemID();
    }
    EXPECT_EQ(3, observer.shapes);

    ToviTagGroup loose;
    ToviTag* stray = NewTag(L"Stray");
    ASSERT_TRUE(loose.AddTag(stray));
    stray->SetValueNow(Variant::FromDouble(2));
    t.device.SetConfiguration(nullptr);
    t.deepInlet->SetValueNow(Variant::FromDouble(2));
    EXPECT_EQ(0, observer.changes[stray]);
    EXPECT_EQ(3, observer.changes[t.deepInlet]);
    probe.configuration.SetTagChangeObserver(nullptr);
}
