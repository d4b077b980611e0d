#pragma once
// "OPC UA Users": the user names OPC UA clients may log in with and their
// roles. Add... and Change... open "OPC UA User" (a name, a role, a password
// typed twice); OK saves the store, logs each change (never a password) and
// counts a security change, so that every running copy takes the users anew.
#include <functional>
#include <set>
#include <string>

#include "DialogWindow.h"
#include "UaUserStore.h"

class UaUsersDialog : public DialogWindow {
public:
    // Edits a loaded store; OK saves it to its file.
    explicit UaUsersDialog(UaUserStore store);

    // Whether OK saved a change.
    bool Saved() const noexcept { return m_saved; }

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    void Fill(const std::wstring& selected);
    std::wstring Selected() const;
    void ShowButtons();
    void OnAdd();
    void OnChange();
    void OnRemove();
    void OnOK();

    const UaUserStore m_before;
    UaUserStore m_store;
    std::set<std::wstring> m_newPasswords;  // users whose password was set here
    HWND m_list = nullptr;
    bool m_saved = false;
};

// One user: a name (fixed when changing), a role and a password typed twice
// (when changing, empty keeps the old one). OK hands them to `apply`, which
// stores them or says why not; the dialog stays open on a refusal.
class UaUserDialog : public DialogWindow {
public:
    using Apply = std::function<std::wstring(const std::wstring& name, UaRole role, const std::string& passwordUtf8)>;
    // `name` empty: a new user.
    UaUserDialog(std::wstring name, UaRole role, Apply apply);

protected:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;

private:
    void OnInitDialog();
    void OnOK();
    // A password field's text in UTF-8; the wide copy is wiped.
    std::string PasswordText(int id) const;

    const bool m_adding;
    const std::wstring m_name;
    const UaRole m_role;
    Apply m_apply;
};

// Opens the users dialog on the store's file and saves it on OK; false when
// nothing was saved (cancelled, or the file could not be read, which a message says).
bool EditUaUsers(HWND owner, const std::wstring& storePath = UaUserStorePath());
