#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <filesystem>

#include "CAboutDlg.h"
#include "DialogDriver.h"
#include "OpcConstants.h"
#include "Tovi_DlgOptions.h"
#include "OPCS_DlgWriteToTag.h"
#include "EventLog.h"
#include "ProgramPaths.h"
#include "CSplashWnd.h"
#include "Text.h"
#include "UiFixture.h"
#include "VersionInfo.h"

namespace {
const wchar_t kRestart[] =
    L"The changes to the event log file name will not take effect until the program is restarted.";
const wchar_t kBadInput[] =
    L"Unable to write the input tag value.\nFor bool use T, F or True, False\nDates are not supported";
const wchar_t kWriteFailed[] = L"Failed to write to tag";

class WriteOptionsSplashTest : public UiFixture {
protected:
    void TearDown() override {
        for (HWND window : OPCS_DlgWriteToTag::OpenWindows()) DestroyWindow(window);
        theEventLog.Close();
        theSettings.SetDefaults();
        theSettings.Save();  // what the options tests stored goes again
        UiFixture::TearDown();
    }
    HWND OpenWrite(OPCS_Tag* tag) {
        OPCS_DlgWriteToTag* dialog = OPCS_DlgWriteToTag::Open(tag, frame->Handle());
        return dialog != nullptr ? dialog->Handle() : nullptr;
    }
    ToviTag* ReadWriteTag(OPCS_TagGroup* group, const wchar_t* name, VARTYPE type) {
        ToviTag* tag = AddTag(group, name);
        tag->SetDataType(type);
        tag->SetAccessMode(1);
        tag->ClearValueLimits();
        return tag;
    }
    // Options opened, changed by the caller, then OK; gives whether it closed.
    bool OptionsOK(const std::function<void(HWND)>& change) {
        Tovi_DlgOptions dialog;
        HWND d = dialog.Create(frame->Handle());
        EXPECT_NE(d, nullptr);
        change(d);
        ClickButton(d, IDOK);
        return dialog.Result() == IDOK;
    }
};
}  // namespace

TEST_F(WriteOptionsSplashTest, WriteDialogsConvertByTheTagsTypeAndSeveralStayOpenAtOnce) {
    ToviDevice* device = AddDevice(L"Plant");
    ToviTag* flag = ReadWriteTag(device, L"Flag", VT_BOOL);
    ToviTag* count = ReadWriteTag(device, L"Count", VT_I4);
    ToviTag* small = ReadWriteTag(device, L"Small", VT_I2);
    count->SetValueNow(Variant::FromLong(7));

    HWND first = OpenWrite(flag);
    HWND second = OpenWrite(count);
    HWND third = OpenWrite(small);
    ASSERT_TRUE(first && second && third);
    EXPECT_EQ(OPCS_DlgWriteToTag::OpenWindows(), (std::vector<HWND>{first, second, third}));
    EXPECT_EQ(ControlText(second, IDC_WRITE_TAG_NAME), L"Count");
    EXPECT_EQ(ControlText(second, IDC_WRITE_CURRENT_VALUE), L"7");
    EXPECT_EQ(ControlText(second, IDC_WRITE_TYPE_NAME), L"Int 4 Byte Int");
    EXPECT_EQ(ControlText(first, IDC_WRITE_TYPE_NAME), L"Bool (T/F,True/False,1/0)");
    EXPECT_EQ(ControlText(second, IDC_WRITE_NEW_VALUE), L"");

    // The write dialog takes "true" in any case, unlike the tag dialog.
    SetControlText(first, IDC_WRITE_NEW_VALUE, L"true");
    ClickButton(first, IDOK);
    SetControlText(third, IDC_WRITE_NEW_VALUE, L"70000xyz");  // kept to 16 bits
    ClickButton(third, IDOK);
    EXPECT_EQ(flag->GetValueText(), L"1");
    EXPECT_EQ(small->GetValueText(), L"4464");
    EXPECT_EQ(count->GetValueText(), L"7");  // its dialog is still open
    EXPECT_EQ(OPCS_DlgWriteToTag::OpenWindows(), std::vector<HWND>{second});
    SetControlText(second, IDC_WRITE_NEW_VALUE, L"12abc");
    ClickButton(second, IDOK);
    EXPECT_EQ(count->GetValueText(), L"12");
    EXPECT_TRUE(OPCS_DlgWriteToTag::OpenWindows().empty());
    EXPECT_TRUE(boxes.texts.empty());

    // Close writes nothing.
    HWND closed = OpenWrite(count);
    SetControlText(closed, IDC_WRITE_NEW_VALUE, L"99");
    ClickButton(closed, IDCANCEL);
    EXPECT_EQ(count->GetValueText(), L"12");
    EXPECT_FALSE(IsWindow(closed));
}

TEST_F(WriteOptionsSplashTest, WriteRefusalsCloseTheDialogAndADeletedTagIsNotTouched) {
    ToviDevice* device = AddDevice(L"Plant");
    ToviTag* unsigned32 = ReadWriteTag(device, L"Wide", VT_UI4);
    ToviTag* level = ReadWriteTag(device, L"Level", VT_R8);
    level->SetValueNow(Variant::FromDouble(1));

    HWND d = OpenWrite(unsigned32);
    EXPECT_EQ(ControlText(d, IDC_WRITE_TYPE_NAME), L"Unknown");
    SetControlText(d, IDC_WRITE_NEW_VALUE, L"5");
    ClickButton(d, IDOK);
    EXPECT_EQ(boxes.texts, std::vector<std::wstring>{kBadInput});
    EXPECT_FALSE(IsWindow(d));

    // Made read-only while its dialog was open: the tag refuses the write.
    d = OpenWrite(level);
    level->SetAccessMode(0);
    SetControlText(d, IDC_WRITE_NEW_VALUE, L"5");
    boxes.texts.clear();
    ClickButton(d, IDOK);
    EXPECT_EQ(boxes.texts, std::vector<std::wstring>{kWriteFailed});
    EXPECT_EQ(level->GetValueText(), L"1 ");
    EXPECT_FALSE(IsWindow(d));

    // Deleted while its dialog was open: Apply ends the dialog and writes nowhere.
    level->SetAccessMode(1);
    d = OpenWrite(level);
    ASSERT_TRUE(doc->DeleteItem(device));
    ASSERT_FALSE(OPCS_Tag::IsValidTag(level));
    SetControlText(d, IDC_WRITE_NEW_VALUE, L"5");
    boxes.texts.clear();
    ClickButton(d, IDOK);
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_FALSE(IsWindow(d));
    EXPECT_EQ(OpenWrite(level), nullptr);  // and a dead tag opens none
}

TEST_F(WriteOptionsSplashTest, WriteToTagIsOfferedForOneReadWriteTagAndOpensItsDialog) {
    ToviDevice* device = AddDevice(L"Plant");
    ToviTag* writable = ReadWriteTag(device, L"A", VT_R8);
    ToviTag* readOnly = ReadWriteTag(device, L"B", VT_R8);
    readOnly->SetAccessMode(0);
    ASSERT_TRUE(tree->SelectObject(device));
    Key(VK_F6);
    ASSERT_EQ(frame->ActiveView(), static_cast<CViewWindow*>(list));
    const int rowA = RowNames()[0] == L"A" ? 0 : 1;
    SelectRows({1 - rowA});
    EXPECT_FALSE(frame->QueryCommandState(ID_WRITE_TO_TAG).enabled);
    SelectRows({0, 1});
    EXPECT_FALSE(frame->QueryCommandState(ID_WRITE_TO_TAG).enabled);
    SelectRows({rowA});
    EXPECT_TRUE(frame->QueryCommandState(ID_WRITE_TO_TAG).enabled);
    Key('W', true);
    const std::vector<HWND> open = OPCS_DlgWriteToTag::OpenWindows();
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(ControlText(open[0], IDC_WRITE_TAG_NAME), writable->GetName());
    EXPECT_EQ(GetWindow(open[0], GW_OWNER), frame->Handle());
    // Options and About are always there.
    EXPECT_TRUE(frame->QueryCommandState(ID_FILE_OPTIONS).enabled);
    EXPECT_TRUE(frame->QueryCommandState(ID_APP_ABOUT).enabled);
}

// Force Quality from the tag list (every selected tag) and from the tree (the
// group): the dialog offers "Not forced" and every quality a client may meet.
TEST_F(WriteOptionsSplashTest, ForceQualityAppliesTheChosenQualityToTheSelectionOrTheGroup) {
    ToviDevice* device = AddDevice(L"Plant");
    ToviTag* a = ReadWriteTag(device, L"A", VT_R8);
    ToviTag* b = ReadWriteTag(device, L"B", VT_R8);
    ASSERT_TRUE(tree->SelectObject(device));
    const auto force = [&](int index, const std::wstring& item) {
        return AnswerModalDialog(
            L"Force Quality",
            [&](HWND d) {
                EXPECT_EQ(ControlText(d, IDC_FORCE_ITEM), item);
                EXPECT_EQ(SendDlgItemMessageW(d, IDC_FORCE_QUALITY, CB_GETCOUNT, 0, 0), 16);
                ChooseComboItem(d, IDC_FORCE_QUALITY, index);
                ClickButton(d, IDOK);
            },
            [&] { Key('Q', true); });
    };
    ASSERT_TRUE(force(14, L"Plant"));  // Comm Failure, on the device
    EXPECT_EQ(device->GetForcedQuality(), OPC_QUALITY_COMM_FAILURE);
    EXPECT_EQ(a->GetQuality(), OPC_QUALITY_COMM_FAILURE);
    Key(VK_F6);
    SelectRows({0, 1});
    ASSERT_TRUE(force(2, L"2 selected tags"));  // Good (Local Override)
    EXPECT_EQ(a->GetForcedQuality(), OPC_QUALITY_LOCAL_OVERRIDE);
    EXPECT_EQ(b->GetQuality(), OPC_QUALITY_LOCAL_OVERRIDE);
    SelectRows({0});
    ASSERT_TRUE(force(0, RowNames()[0] == L"A" ? a->GetItemID() : b->GetItemID()));  // Not forced
    EXPECT_EQ((RowNames()[0] == L"A" ? a : b)->GetQuality(), OPC_QUALITY_COMM_FAILURE) << "the device's again";
}

TEST_F(WriteOptionsSplashTest, OptionsStoreMegabytesAndWarnOnlyWhenTheLogNameReallyChanges) {
    const std::wstring current = theSettings.GetEventLogFile();
    // The same name in another case: no message.
    ASSERT_TRUE(OptionsOK([&](HWND d) {
        EXPECT_EQ(ControlText(d, IDC_OPTIONS_LOG_SIZE), L"1");
        EXPECT_EQ(ControlText(d, IDC_OPTIONS_LOG_FILE), current);
        SetControlText(d, IDC_OPTIONS_LOG_FILE, FoldCase(current));
        SetControlText(d, IDC_OPTIONS_LOG_SIZE, L"2");
        ToggleButton(d, IDC_OPTIONS_LOG_ENABLED, false);
    }));
    EXPECT_TRUE(boxes.texts.empty());
    EXPECT_EQ(theSettings.GetEventLogFileSize(), 2097152u);

    // Another name: the restart message, and the settings are stored.
    const std::wstring other = temp.File(L"other-log.txt");
    ASSERT_TRUE(OptionsOK([&](HWND d) { SetControlText(d, IDC_OPTIONS_LOG_FILE, other); }));
    EXPECT_EQ(boxes.texts, std::vector<std::wstring>{kRestart});
    EXPECT_EQ(theSettings.GetEventLogFile(), other);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(other)));  // checked, not left behind

    // Refusals keep the dialog open and the settings as they were.
    const std::tuple<int, std::wstring, std::wstring> refused[] = {
        {IDC_OPTIONS_LOG_SIZE, L"", L"Please enter a positive integer."},
        {IDC_OPTIONS_LOG_SIZE, L"-1", L"Please enter a positive integer."},
        {IDC_OPTIONS_LOG_SIZE, L"2MB", L"Please enter a positive integer."},
        {IDC_OPTIONS_LOG_SIZE, L"4096", L"Please enter an integer between 0 and 4095."},
        {IDC_OPTIONS_LOG_FILE, L"C:\\no such folder\\log.txt",
         L"The event log file \"C:\\no such folder\\log.txt\" cannot be written."},
        {IDC_OPTIONS_LOG_FILE, L"", L"The event log file \"\" cannot be written."},
    };
    for (const auto& [id, text, message] : refused) {
        boxes.texts.clear();
        EXPECT_FALSE(OptionsOK([&](HWND d) { SetControlText(d, id, text); })) << text;
        EXPECT_EQ(boxes.texts, std::vector<std::wstring>{message}) << text;
    }
    EXPECT_EQ(theSettings.GetEventLogFile(), other);
    EXPECT_EQ(theSettings.GetEventLogFileSize(), 2097152u);
}

// The box shows the setting; OK stores it and applies it to the running
// configuration at once, Cancel neither. Its mnemonic is its own.
TEST_F(WriteOptionsSplashTest, TheQualityWriteBoxIsStoredAndAppliedOnOkOnly) {
    Configuration& configuration = doc->GetConfiguration();
    const struct {
        bool tick;
        int button;
        bool stored;  // afterwards, setting and configuration alike
    } steps[] = {
        {true, IDCANCEL, false}, {true, IDOK, true}, {true, IDOK, true}, {false, IDCANCEL, true}, {false, IDOK, false}};
    for (const auto& step : steps) {
        const bool before = theSettings.AreClientQualityWritesAllowed();
        ASSERT_TRUE(AnswerModalDialog(
            L"Program Options",
            [&](HWND d) {
                EXPECT_EQ(before, ButtonChecked(d, IDC_OPTIONS_QUALITY_WRITES));
                ToggleButton(d, IDC_OPTIONS_QUALITY_WRITES, step.tick);
                ClickButton(d, step.button);
            },
            [this] { Command(ID_FILE_OPTIONS); }));
        EXPECT_EQ(step.stored, theSettings.AreClientQualityWritesAllowed()) << step.button;
        EXPECT_EQ(step.stored, configuration.ClientQualityWritesAllowed()) << step.button;
    }

    Tovi_DlgOptions dialog;
    HWND d = dialog.Create(frame->Handle());
    ASSERT_NE(d, nullptr);
    std::wstring mnemonics;
    for (HWND child = GetWindow(d, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t text[256] = {};
        GetWindowTextW(child, text, 256);
        const wchar_t* amp = wcschr(text, L'&');
        if (amp != nullptr && amp[1] != L'\0' && amp[1] != L'&') mnemonics += static_cast<wchar_t>(towupper(amp[1]));
    }
    std::wstring sorted = mnemonics;
    std::sort(sorted.begin(), sorted.end());
    EXPECT_TRUE(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) << "mnemonics " << ToUtf8(mnemonics);
    EXPECT_EQ(ControlText(d, IDC_OPTIONS_QUALITY_WRITES), L"Clients may &write qualities and timestamps");
    ClickButton(d, IDCANCEL);
}

TEST_F(WriteOptionsSplashTest, ResetEmptiesTheRunningLogAtOnceAndCancelKeepsItEmpty) {
    const std::wstring log = temp.File(L"reset-log.txt");
    ASSERT_TRUE(theEventLog.Open(log));
    theEventLog << L"Before the reset" << EventLog::EndEntry;
    ASSERT_NE(ReadFileBytes(log).find("Before the reset"), std::string::npos);
    Tovi_DlgOptions dialog;
    HWND d = dialog.Create(frame->Handle());
    ClickButton(d, IDC_OPTIONS_LOG_RESET);
    ClickButton(d, IDCANCEL);
    EXPECT_EQ(dialog.Result(), IDCANCEL);
    const std::string text = ReadFileBytes(log);
    EXPECT_EQ(text.find("Before the reset"), std::string::npos);
    EXPECT_NE(text.find("Log started or reset"), std::string::npos);
}

TEST_F(WriteOptionsSplashTest, TheSplashShowsOnceAndItsFirstClickOnlyClosesIt) {
    ASSERT_EQ(CSplashWnd::Window(), nullptr);
    CSplashWnd::ShowSplashScreen(frame->Handle());
    EXPECT_EQ(CSplashWnd::Window(), nullptr);  // not enabled
    CSplashWnd::EnableSplashScreen(true);
    CSplashWnd::ShowSplashScreen(frame->Handle());
    HWND splash = CSplashWnd::Window();
    ASSERT_NE(splash, nullptr);
    RECT r{};
    GetWindowRect(splash, &r);
    EXPECT_EQ(r.right - r.left, 478);
    EXPECT_EQ(r.bottom - r.top, 365);

    // A click on the tree: consumed, and only the splash closes.
    MSG click{};
    click.hwnd = TreeControl();
    click.message = WM_LBUTTONDOWN;
    EXPECT_TRUE(frame->PreTranslateMessage(&click));
    EXPECT_EQ(CSplashWnd::Window(), nullptr);
    EXPECT_FALSE(IsWindow(splash));
    EXPECT_FALSE(frame->PreTranslateMessage(&click));  // the next one goes on
    CSplashWnd::ShowSplashScreen(frame->Handle());
    EXPECT_EQ(CSplashWnd::Window(), nullptr);  // once

    // Unanswered, it closes by itself after its time; a mouse move never closes it.
    CSplashWnd::EnableSplashScreen(true);
    CSplashWnd::ShowSplashScreen(frame->Handle());
    MSG move{};
    move.hwnd = TreeControl();
    move.message = WM_MOUSEMOVE;
    EXPECT_FALSE(frame->PreTranslateMessage(&move));
    ASSERT_NE(CSplashWnd::Window(), nullptr);
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (CSplashWnd::Window() != nullptr && GetTickCount64() < deadline) Pump(50);
    EXPECT_EQ(CSplashWnd::Window(), nullptr);
}

TEST_F(WriteOptionsSplashTest, AboutShowsTheTitleAndTheProductVersion) {
    std::wstring version;
    ASSERT_TRUE(GetProductVersion(GetModulePath(), version));
    ASSERT_GT(VersionTextToNumber(version), 0.0);
    CAboutDlg about;
    HWND d = about.Create(frame->Handle());
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(ControlText(d, IDC_ABOUT_VERSION), L"Tovi Explorer Version " + version);
    EXPECT_NE(SendDlgItemMessageW(d, IDC_ABOUT_ICON, STM_GETICON, 0, 0), 0);
    ClickButton(d, IDOK);
    EXPECT_EQ(about.Result(), IDOK);
}

TEST_F(WriteOptionsSplashTest, TheOfferOfDa3IsAnOptionShownAsStored) {
    const bool before = theSettings.IsDa3Offered();
    for (bool offered : {false, true}) {
        ASSERT_TRUE(OptionsOK([&](HWND d) {
            EXPECT_EQ(IsDlgButtonChecked(d, IDC_OPTIONS_DA3) == BST_CHECKED, !offered);
            ToggleButton(d, IDC_OPTIONS_DA3, offered);
        }));
        EXPECT_EQ(theSettings.IsDa3Offered(), offered);
    }
    theSettings.SetDa3Offered(before);
}
