#pragma once
// A resizable dialog's controls, kept where the template put them relative
// to the edges each one follows as the window is sized.
#include <windows.h>
#include <initializer_list>
#include <vector>

class DialogLayout {
public:
    enum Follow : unsigned { kGrowRight = 1, kGrowDown = 2, kMoveRight = 4, kMoveDown = 8 };
    struct Rule {
        int id;
        unsigned follow;  // Follow bits
    };

    // Takes the controls' places and the window's size (its smallest) as the template made them.
    void Capture(HWND dialog, std::initializer_list<Rule> rules);
    void Apply(HWND dialog, int width, int height) const;
    SIZE MinimumWindow() const noexcept { return m_minimumWindow; }

private:
    struct Anchor {
        Rule rule;
        RECT place;  // client coordinates at the initial size
    };
    std::vector<Anchor> m_anchors;
    SIZE m_initialClient{};
    SIZE m_minimumWindow{};
};
