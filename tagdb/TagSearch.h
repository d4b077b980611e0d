#pragma once
// Find: the next tag, in the order the device tree shows the configuration
// (devices, then each one's tags and its groups depth-first, tags in the
// order their group holds them), whose item ID or description holds a text.
#include <string>

class Configuration;
class OPCS_Tag;
class OPCS_TagGroup;

struct TagQuery {
    std::wstring text;
    bool itemIds = true;
    bool descriptions = true;
    bool matchCase = false;
};

// Where a search begins: after `afterTag`, else at the first tag of
// `atGroup`, else at the top.
struct TagSearchStart {
    const OPCS_Tag* afterTag = nullptr;
    const OPCS_TagGroup* atGroup = nullptr;
};

struct TagSearchHit {
    OPCS_Tag* tag = nullptr;
    OPCS_TagGroup* group = nullptr;  // the group that holds the tag
};

// The first tag from `start` on that matches, wrapping once past the end (so
// `afterTag` itself is the last one tried); no tag when none matches. Holds
// the configuration's lock while it walks: the hit's pointers are only
// sure to live until the caller's next message.
TagSearchHit FindNextTag(Configuration& configuration, const TagQuery& query, const TagSearchStart& start);
