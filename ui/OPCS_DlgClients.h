#pragma once
// "OPC Clients": a modeless window listing every connected server object
// (client name, protocol with a DA client's version, groups, items,
// subscriptions, connected since, last call),
// refreshed every second on the user-interface thread from the rows a
// provider gives. One at a time; it deletes itself when it closes.
#include <vector>

#include "DialogLayout.h"
#include "ClientRow.h"
#include "SingleModeless.h"

class OPCS_DlgClients : public SingleModeless<OPCS_DlgClients> {
public:
    static constexpr UINT kRefreshMs = 1000;
    static constexpr HelpContext kHelpTopic = kHelpClientsWindow;

    // Shows the window, or brings the open one forward; null when it cannot be made.
    static OPCS_DlgClients* Open(HWND owner, ClientRowsProvider provider);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    explicit OPCS_DlgClients(ClientRowsProvider provider);
    void OnInitDialog();
    void Refresh();
    // Widens each column whose heading or texts no longer fit; never narrows one.
    void FitColumns(const std::vector<std::vector<std::wstring>>& rows);
    // The window wide enough for every column, within the screen's work area.
    void FitWindowToColumns();

    ClientRowsProvider m_provider;
    std::vector<int> m_fitted;
    DialogLayout m_layout;
};
