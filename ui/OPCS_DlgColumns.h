#pragma once
// "Column Settings": which tag list columns are shown, their order, headings
// and widths. Works on a copy of the settings' columns and applies it on OK;
// Reset writes the default columns to the settings at once.
#include <windows.h>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ColumnInfo.h"
#include "DialogWindow.h"

class CTagView;

class OPCS_DlgColumns : public DialogWindow {
public:
    static constexpr std::uint32_t kMinWidth = 10;
    static constexpr std::uint32_t kMaxWidth = 5000;

    explicit OPCS_DlgColumns(CTagView* tagView);

private:
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnInitDialog();
    void FillList(const ColumnArray& columns);
    void OnSelectionChanged();
    // Reads the width edit; false (after the message) when it holds no acceptable width.
    bool ReadWidth(bool emptyIsError, std::uint32_t& width, bool& empty);
    void ApplyWidthTo(const std::vector<std::uint32_t>& fields);
    void ShowCommonWidth();
    void Move(bool up);
    void StartRename();
    void FinishRename();
    void OnReset();
    void OnOK();

    std::vector<int> SelectedItems() const;
    std::vector<std::uint32_t> SelectedFields() const;
    std::uint32_t FieldOf(int item) const;
    void InsertItem(int index, const std::wstring& text, std::uint32_t field, bool checked, bool selected);

    CTagView* m_tagView;
    HWND m_list = nullptr;
    bool m_moving = false;
    bool m_renaming = false;
    bool m_selectionPending = false;
    std::array<std::uint32_t, kColumnCount> m_widths{};  // working width per field
    std::vector<std::uint32_t> m_selection;              // fields selected before the change
};
