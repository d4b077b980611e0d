#pragma once
// Property dialogs that answer as the test scripts them: OK with the reply
// set for their kind, or, without one, with what they were shown (a tag's
// value entered as 0); Cancel once answer is false.
#include <optional>
#include <string>

#include "PropertyDialogs.h"

class ScriptedDialogs : public PropertyDialogRunner {
public:
    bool EditTag(TagPropertiesFields& f) override {
        seenTag = f;
        if (replyTag) refusal = f.nameRefusal ? f.nameRefusal(replyTag->name) : L"(not asked)";
        if (!answer) return false;
        if (replyTag) {
            f = *replyTag;
        } else {
            f.value = Variant::FromDouble(0);
        }
        return true;
    }
    bool EditGroup(GroupPropertiesFields& f) override {
        seenGroup = f;
        if (!answer) return false;
        if (replyGroup) f = *replyGroup;
        return true;
    }
    std::wstring refusal;  // what the tag dialog's OK would say of the reply's name
    bool answer = true;
    TagPropertiesFields seenTag;
    GroupPropertiesFields seenGroup;
    std::optional<TagPropertiesFields> replyTag;
    std::optional<GroupPropertiesFields> replyGroup;
};
