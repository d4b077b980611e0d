#pragma once
// Records the message boxes the program shows through its seam and answers
// each at once: with `answer` when set, otherwise as the box's default.
#include <string>
#include <vector>

#include "MessageBoxes.h"

struct RecordedBoxes {
    RecordedBoxes() {
        SetMessageBoxHandler([this](const std::wstring& text, const std::wstring& caption, UINT style) {
            texts.push_back(text);
            captions.push_back(caption);
            styles.push_back(style);
            return answer != 0 ? answer : DefaultAnswer(style);
        });
    }
    ~RecordedBoxes() { SetMessageBoxHandler({}); }
    RecordedBoxes(const RecordedBoxes&) = delete;
    RecordedBoxes& operator=(const RecordedBoxes&) = delete;

    std::vector<std::wstring> texts, captions;
    std::vector<UINT> styles;
    int answer = 0;
};
