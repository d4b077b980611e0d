#pragma once
// Command routing: the frame offers each command to the focused view, then
// to the document, then to the application; the first target that knows the
// command handles it and says whether it is enabled and checked.
#include <windows.h>

struct CommandState {
    bool enabled = true;
    bool checked = false;
};

class CommandTarget {
public:
    virtual ~CommandTarget() = default;
    // False when this target does not handle the command; otherwise fills the state.
    virtual bool QueryCommand(UINT command, CommandState& state) = 0;
    // False when this target does not handle the command.
    virtual bool OnCommand(UINT command) = 0;
};
