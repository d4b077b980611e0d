#pragma once
// The product's tag group.
#include "OPCS_TagGroup.h"

class ToviTagGroup : public OPCS_TagGroup {
public:
    ToviTagGroup() = default;
    ~ToviTagGroup() override = default;
    void Serialize(Archive& archive) override;
};
