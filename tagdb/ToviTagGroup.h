#pragma once
// The product's tag group.
#include "TagGroup.h"

class ToviTagGroup : public OPCS_TagGroup {
public:
    ToviTagGroup() = default;
    ~ToviTagGroup() override = default;
    void Serialize(Archive& archive) override;

    bool EditProperties() override;
    // The dialog for a group of `parent` (its own, or the one a new group is
    // to join), which refuses a name a sibling bears.
    bool EditProperties(OPCS_TagGroup* parent);
};
