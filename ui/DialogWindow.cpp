#include "DialogWindow.h"

#include <cwctype>
#include <utility>

#include "MessageBoxes.h"
#include "Text.h"

const wchar_t kEnterNumber[] = L"Please enter a number.";
const wchar_t kEnterPositiveInteger[] = L"Please enter a positive integer.";

std::wstring EnterIntegerBetween(unsigned low, unsigned high) {
    return FormatText(L"Please enter an integer between %u and %u.", low, high);
}

std::wstring EnterNumberBetween(const std::wstring& low, const std::wstring& high) {
    return L"Please enter a number between " + low + L" and " + high + L".";
}

bool ParseUnsignedField(const std::wstring& text, unsigned& value) {
    size_t begin = 0, end = text.size();
    while (begin < end && iswspace(text[begin])) ++begin;
    while (end > begin && iswspace(text[end - 1])) --end;
    if (begin == end) return false;
    unsigned long long number = 0;
    for (size_t i = begin; i < end; ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
        number = number * 10 + static_cast<unsigned>(text[i] - L'0');
        if (number > 0xFFFFFFFFull) return false;
    }
    value = static_cast<unsigned>(number);
    return true;
}

DialogWindow::~DialogWindow() {
    if (m_hwnd != nullptr) {
        SetWindowLongPtrW(m_hwnd, DWLP_USER, 0);
        DestroyWindow(m_hwnd);
    }
}

INT_PTR DialogWindow::DoModal(HWND owner) {
    m_modal = true;
    m_result = 0;
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_templateId), owner, &DialogProc,
                           reinterpret_cast<LPARAM>(this));
}

HWND DialogWindow::Create(HWND owner) {
    m_modal = false;
    m_result = 0;
    return CreateDialogParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(m_templateId), owner, &DialogProc,
                              reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK DialogWindow::DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        reinterpret_cast<DialogWindow*>(lParam)->m_hwnd = hwnd;
    }
    auto* self = reinterpret_cast<DialogWindow*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    if (self == nullptr) return FALSE;
    if (message == WM_NCDESTROY) {
        self->m_hwnd = nullptr;
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        if (!self->m_modal) self->OnDestroyed();  // may delete the object
        return FALSE;
    }
    return self->OnMessage(message, wParam, lParam);
}

void DialogWindow::End(INT_PTR result) {
    m_result = result;
    if (m_modal) {
        EndDialog(m_hwnd, result);
    } else {
        DestroyWindow(m_hwnd);
    }
}

std::wstring DialogWindow::ItemText(int id) const {
    HWND item = Item(id);
    const int length = GetWindowTextLengthW(item);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(item, text.data(), length + 1)));
    return text;
}

void DialogWindow::SetItemText(int id, const std::wstring& text) const { SetDlgItemTextW(m_hwnd, id, text.c_str()); }

bool DialogWindow::ReadName(int id, const std::function<std::wstring(const std::wstring&)>& refusal,
                            std::wstring& name) const {
    std::wstring typed = ItemText(id);
    if (refusal) {
        if (const std::wstring why = refusal(typed); !why.empty()) {
            RefuseField(id, why);
            return false;
        }
    }
    name = std::move(typed);
    return true;
}

void DialogWindow::RefuseField(int id, const std::wstring& message) const {
    AppMessageBox(message, MB_OK | MB_ICONEXCLAMATION);
    if (m_hwnd == nullptr) return;
    SendMessageW(m_hwnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(id)), TRUE);
    SendDlgItemMessageW(m_hwnd, id, EM_SETSEL, 0, -1);
}
