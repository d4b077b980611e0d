// The OPC UA users dialog driven by messages: users added, changed and
// removed reach the store's file on OK only, each change is logged without
// its password, and a store that cannot be read is not overwritten.
#include <gtest/gtest.h>

#include "DialogDriver.h"
#include "EventLog.h"
#include "RecordedBoxes.h"
#include "TempFolder.h"
#include "UaUserStore.h"
#include "UaUsersDialog.h"
#include "UiFixture.h"
#include "resource.h"

namespace {
class UaUsersDialogTest : public UiFixture {
protected:
    void TearDown() override {
        theEventLog.Close();
        UiFixture::TearDown();
    }
    std::wstring StorePath() const { return m_folder.File(L"users.txt"); }

    // Types into the open user dialog and clicks OK; when refused, gives up with Cancel.
    static std::function<void(HWND)> Type(const std::wstring& name, int role, const std::wstring& password,
                                          const std::wstring& confirmation, bool refused = false) {
        return [=](HWND dialog) {
            if (!name.empty()) SetControlText(dialog, IDC_UA_USER_NAME, name);
            ChooseComboItem(dialog, IDC_UA_USER_ROLE, role);
            SetControlText(dialog, IDC_UA_USER_PASSWORD, password);
            SetControlText(dialog, IDC_UA_USER_CONFIRM, confirmation);
            ClickButton(dialog, IDOK);
            if (refused) ClickButton(dialog, IDCANCEL);
        };
    }
    static std::vector<std::wstring> Rows(HWND dialog) {
        std::vector<std::wstring> rows;
        const HWND list = GetDlgItem(dialog, IDC_UA_USERS_LIST);
        for (int i = 0; i < ListView_GetItemCount(list); ++i) {
            wchar_t name[128] = {}, role[32] = {};
            ListView_GetItemText(list, i, 0, name, 128);
            ListView_GetItemText(list, i, 1, role, 32);
            rows.push_back(std::wstring(name) + L": " + role);
        }
        return rows;
    }
    static void Select(HWND dialog, int index) {
        ListView_SetItemState(GetDlgItem(dialog, IDC_UA_USERS_LIST), index, LVIS_SELECTED | LVIS_FOCUSED,
                              LVIS_SELECTED | LVIS_FOCUSED);
    }

    TempFolder m_folder;
};
}  // namespace

TEST_F(UaUsersDialogTest, UsersAreAddedChangedAndRemovedAndSavedOnOkOnly) {
    ASSERT_TRUE(theEventLog.Open(m_folder.File(L"events.txt")));
    {
        UaUserStore existing(StorePath());
        std::wstring error;
        ASSERT_TRUE(existing.Set(L"old", UaRole::Read, "old-secret", error));
        ASSERT_TRUE(existing.Save(error));
    }
    RecordedBoxes boxes;
    UaUserStore store(StorePath());
    std::wstring error;
    ASSERT_TRUE(store.Load(error));
    UaUsersDialog users(std::move(store));
    const HWND dialog = users.Create(frame->Handle());
    ASSERT_NE(nullptr, dialog);
    EXPECT_EQ(std::vector<std::wstring>{L"old: Read"}, Rows(dialog));

    // Refused: passwords that differ, no password, a name taken; each leaves the list as it was.
    const struct {
        const wchar_t* name;
        const wchar_t* password;
        const wchar_t* confirmation;
        const wchar_t* message;
    } refusals[] = {
        {L"op", L"one", L"two", L"The two passwords differ. Please type the password again in both fields."},
        {L"op", L"", L"", L"Please enter a password."},
        {L"old", L"x", L"x", L"There is a user named \"old\" already: select it and click Change."},
        {L" op", L"x", L"x", L"A user name may not hold control characters or begin or end with a space."},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.message);
        boxes.texts.clear();
        EXPECT_TRUE(AnswerModalDialog(L"Add OPC UA User",
                                      Type(refusal.name, 0, refusal.password, refusal.confirmation, true),
                                      [&] { ClickButton(dialog, IDC_UA_USERS_ADD); }));
        EXPECT_EQ(std::vector<std::wstring>{refusal.message}, boxes.texts);
        EXPECT_EQ(std::vector<std::wstring>{L"old: Read"}, Rows(dialog));
    }

    boxes.texts.clear();
    ASSERT_TRUE(AnswerModalDialog(L"Add OPC UA User", Type(L"op", 1, L"s3cret-pw", L"s3cret-pw"),
                                  [&] { ClickButton(dialog, IDC_UA_USERS_ADD); }));
    ASSERT_TRUE(AnswerModalDialog(L"Add OPC UA User", Type(L"Viewer", 0, L"view-pw", L"view-pw"),
                                  [&] { ClickButton(dialog, IDC_UA_USERS_ADD); }));
    EXPECT_EQ((std::vector<std::wstring>{L"Viewer: Read", L"old: Read", L"op: Read/Write"}), Rows(dialog));
    EXPECT_TRUE(boxes.texts.empty());

    // A new role, the password kept: its name cannot be edited there.
    Select(dialog, 0);
    ASSERT_TRUE(AnswerModalDialog(
        L"Change OPC UA User",
        [](HWND change) {
            EXPECT_EQ(L"Viewer", ControlText(change, IDC_UA_USER_NAME));
            EXPECT_TRUE(GetWindowLongPtrW(GetDlgItem(change, IDC_UA_USER_NAME), GWL_STYLE) & ES_READONLY);
            EXPECT_EQ(0, ComboSelection(change, IDC_UA_USER_ROLE));
            Type(L"", 1, L"", L"")(change);
        },
        [&] { ClickButton(dialog, IDC_UA_USERS_CHANGE); }));
    // Removed after a question that says No unless answered Yes.
    Select(dialog, 1);
    ClickButton(dialog, IDC_UA_USERS_REMOVE);
    EXPECT_EQ(3u, Rows(dialog).size());
    boxes.answer = IDYES;
    Select(dialog, 1);
    ClickButton(dialog, IDC_UA_USERS_REMOVE);
    EXPECT_EQ((std::vector<std::wstring>{L"Viewer: Read/Write", L"op: Read/Write"}), Rows(dialog));

    // Nothing is stored before OK.
    UaUserStore before(StorePath());
    ASSERT_TRUE(before.Load(error));
    EXPECT_TRUE(before.Contains(L"old"));
    ClickButton(dialog, IDOK);
    EXPECT_EQ(IDOK, users.Result());
    EXPECT_TRUE(users.Saved());

    UaUserStore saved(StorePath());
    ASSERT_TRUE(saved.Load(error)) << ToUtf8(error);
    EXPECT_FALSE(saved.Contains(L"old"));
    EXPECT_EQ(UaRole::ReadWrite, saved.Verify("Viewer", "view-pw"));
    EXPECT_EQ(UaRole::ReadWrite, saved.Verify("op", "s3cret-pw"));
    theEventLog.Close();
    const std::string log = ReadFileBytes(m_folder.File(L"events.txt"));
    for (const char* line :
         {"OPC UA user added: op (Read/Write)", "OPC UA user added: Viewer (Read/Write)", "OPC UA user removed: old"}) {
        EXPECT_NE(std::string::npos, log.find(line)) << line << "\n" << log;
    }
    EXPECT_EQ(std::string::npos, log.find("-pw")) << log;
}

TEST_F(UaUsersDialogTest, AStoreThatCannotBeReadIsNotOverwritten) {
    {
        HANDLE file = CreateFileW(StorePath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        WriteFile(file, "not a store\r\n", 13, &written, nullptr);
        CloseHandle(file);
    }
    RecordedBoxes boxes;
    EXPECT_FALSE(EditUaUsers(frame->Handle(), StorePath()));
    ASSERT_EQ(1u, boxes.texts.size());
    EXPECT_NE(std::wstring::npos, boxes.texts[0].find(L"cannot be changed")) << boxes.texts[0];
    EXPECT_EQ("not a store\r\n", ReadFileBytes(StorePath()));
}
