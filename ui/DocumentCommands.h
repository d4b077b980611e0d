#pragma once
// The document's commands, as the frame routes them: adding devices, groups
// and tags, polling, saving and the column choice.
#include "CommandTarget.h"

class CTagView;

class DocumentCommands : public CommandTarget {
public:
    // The tag view is the one whose columns Choose Columns edits (may be null).
    explicit DocumentCommands(CTagView* tagView) : tagView_(tagView) {}
    bool QueryCommand(UINT command, CommandState& state) override;
    bool OnCommand(UINT command) override;

private:
    CTagView* tagView_;
};
