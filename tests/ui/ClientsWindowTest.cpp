#include "DateTimeText.h"
#include "DialogDriver.h"
#include "OPCS_DlgClients.h"
#include "Text.h"
#include "UiFixture.h"

namespace {
using Table = std::vector<std::vector<std::wstring>>;

FILETIME Utc(WORD hour, WORD minute) {
    const SYSTEMTIME time{2026, 12, 0, 7, hour, minute, 5, 0};
    FILETIME file{};
    SystemTimeToFileTime(&time, &file);
    return file;
}

std::wstring Local(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME parts{};
    FileTimeToLocalFileTime(&utc, &local);
    FileTimeToSystemTime(&local, &parts);
    return FormatDateTime(parts);
}

// The headings as the first row, then every cell; and no text wider than its column.
Table ShownTable(HWND list) {
    Table table(1);
    HWND header = ListView_GetHeader(list);
    const int columns = Header_GetItemCount(header);
    auto fits = [list](const std::wstring& text, int column) {
        EXPECT_LE(ListView_GetStringWidth(list, text.c_str()), ListView_GetColumnWidth(list, column) - 12)
            << "clipped: " << ToUtf8(text);
    };
    for (int c = 0; c < columns; ++c) {
        wchar_t text[128] = {};
        HDITEMW item{};
        item.mask = HDI_TEXT;
        item.pszText = text;
        item.cchTextMax = 128;
        Header_GetItem(header, c, &item);
        table[0].push_back(text);
        fits(text, c);
    }
    for (int r = 0; r < ListView_GetItemCount(list); ++r) {
        table.emplace_back();
        for (int c = 0; c < columns; ++c) {
            wchar_t text[256] = {};
            ListView_GetItemText(list, r, c, text, 256);
            table.back().push_back(text);
            fits(text, c);
        }
    }
    return table;
}

class ClientsWindowTest : public UiFixture {};
}  // namespace

TEST_F(ClientsWindowTest, ListsTheProvidersRowsRefreshesEverySecondAndClosesWithEscape) {
    std::vector<ClientRow> rows = {
        {L"Historian", 2, 150, 1, 0, Utc(8, 0), L"IOPCSyncIO::Read", Utc(9, 30), L"", L"2.05a"},
        {L"", 1, 3, 0, 2, Utc(8, 15), L"", {}, L"", L""},
        {L"Line Dashboard", 2, 40, 0, 0, Utc(8, 20), L"Service call", Utc(9, 0), L"OPC UA, None None, Anonymous", L""},
    };
    int calls = 0;
    frame->SetClientRowsProvider([&] {
        ++calls;
        return rows;
    });
    ASSERT_NE(GetMenuState(GetMenu(frame->Handle()), ID_VIEW_CLIENTS, MF_BYCOMMAND), static_cast<UINT>(-1));
    Command(ID_VIEW_CLIENTS);
    HWND window = OPCS_DlgClients::OpenWindow();
    ASSERT_NE(window, nullptr);
    HWND list = GetDlgItem(window, IDC_CLIENTS_LIST);
    const std::vector<std::wstring> headings = {L"Client",          L"Protocol",           L"Groups",
                                                L"Items",           L"1.0a Subscriptions", L"2.0 Subscriptions",
                                                L"Connected Since", L"Last Call",          L"Last Call Time"};
    EXPECT_EQ(ShownTable(list), (Table{headings,
                                       {L"Historian", L"OPC DA 2.05a", L"2", L"150", L"1", L"0", Local(Utc(8, 0)),
                                        L"IOPCSyncIO::Read", Local(Utc(9, 30))},
                                       {L"(no name)", L"OPC DA", L"1", L"3", L"0", L"2", Local(Utc(8, 15)), L"", L""},
                                       {L"Line Dashboard", L"OPC UA, None None, Anonymous", L"2", L"40", L"", L"",
                                        Local(Utc(8, 20)), L"Service call", Local(Utc(9, 0))}}));
    EXPECT_EQ(ControlText(window, IDC_CLIENTS_COUNT), L"3 client connections.");

    // The next refresh shows what changed, a longer name included in full;
    // asking again brings the same window forward.
    rows.resize(1);
    rows[0].clientName = L"Historian of the boiler house, second line, night shift";
    rows[0].groups = 3;
    rows[0].lastCall = L"IOPCAsyncIO2::Refresh2";
    rows[0].lastCallTime = Utc(9, 31);
    rows[0].daVersion = L"3.0";
    Command(ID_VIEW_CLIENTS);
    EXPECT_EQ(OPCS_DlgClients::OpenWindow(), window);
    const int before = calls;
    Pump(OPCS_DlgClients::kRefreshMs + 400);
    EXPECT_EQ(calls, before + 1);
    EXPECT_EQ(ShownTable(list), (Table{headings,
                                       {rows[0].clientName, L"OPC DA 3.0", L"3", L"150", L"1", L"0", Local(Utc(8, 0)),
                                        L"IOPCAsyncIO2::Refresh2", Local(Utc(9, 31))}}));
    EXPECT_EQ(ControlText(window, IDC_CLIENTS_COUNT), L"One client connection.");

    // F1 asks for help (no help file beside the tests: the message says so), Esc closes.
    SetFocus(list);
    Key(VK_F1);
    EXPECT_EQ(boxes.texts.size(), 1u);
    EXPECT_TRUE(IsWindow(window));
    Key(VK_ESCAPE);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(OPCS_DlgClients::OpenWindow(), nullptr);
}
