#pragma once
// A dialog from a template, run modally (DoModal) or without a loop of its
// own (Create): modeless windows and tests drive the same class by messages.
// The derived dialog handles its messages in OnMessage.
#include <windows.h>
#include <functional>
#include <string>

class DialogWindow {
public:
    explicit DialogWindow(UINT templateId) : m_templateId(templateId) {}
    virtual ~DialogWindow();
    DialogWindow(const DialogWindow&) = delete;
    DialogWindow& operator=(const DialogWindow&) = delete;

    INT_PTR DoModal(HWND owner);
    HWND Create(HWND owner);
    HWND Handle() const noexcept { return m_hwnd; }
    // IDOK or IDCANCEL once the dialog has ended; 0 while it runs.
    INT_PTR Result() const noexcept { return m_result; }

protected:
    // Handles one message; FALSE leaves it to the dialog manager.
    virtual INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) = 0;
    // Called once the window is gone (modeless dialogs may delete themselves here).
    virtual void OnDestroyed() {}
    void End(INT_PTR result);

    HWND Item(int id) const { return GetDlgItem(m_hwnd, id); }
    std::wstring ItemText(int id) const;
    void SetItemText(int id, const std::wstring& text) const;
    bool IsChecked(int id) const { return IsDlgButtonChecked(m_hwnd, id) == BST_CHECKED; }
    void SetChecked(int id, bool checked) const { CheckDlgButton(m_hwnd, id, checked ? BST_CHECKED : BST_UNCHECKED); }
    void Enable(int id, bool enable) const { EnableWindow(Item(id), enable ? TRUE : FALSE); }
    // Shows a validation message and puts the focus on the field (its text selected).
    void RefuseField(int id, const std::wstring& message) const;
    // The name typed in field `id`; false once `refusal` (when set) has
    // refused it, the field saying why.
    bool ReadName(int id, const std::function<std::wstring(const std::wstring&)>& refusal, std::wstring& name) const;

    HWND m_hwnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_templateId;
    bool m_modal = false;
    INT_PTR m_result = 0;
};

// The standard validation messages of the dialogs.
extern const wchar_t kEnterNumber[];
extern const wchar_t kEnterPositiveInteger[];
// "Please enter an integer between low and high."
std::wstring EnterIntegerBetween(unsigned low, unsigned high);
// "Please enter a number between low and high." (the bounds as the field shows them).
std::wstring EnterNumberBetween(const std::wstring& low, const std::wstring& high);
// A whole unsigned number, blanks at either end aside, that fits 32 bits.
bool ParseUnsignedField(const std::wstring& text, unsigned& value);
