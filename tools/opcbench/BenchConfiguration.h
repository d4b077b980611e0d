#pragma once
// The configurations the benchmark serves: one device "Bench" with groups
// "Area0", "Area1", ... of 1,000 read/write double tags "Tag0".."Tag999" each
// (or of another number of tags).
#include <windows.h>
#include <string>
#include <vector>

inline constexpr int kTagsPerArea = 1000;

// Writes a configuration of `tagCount` tags (a multiple of kTagsPerArea) with
// the program's own configuration writer. The first `limitedTags` have value
// limits 0..1000 and a deadband of 0, so an item reports them when they
// change; the others have none, so an item reports them at every scan.
// False when it cannot be saved.
bool WriteBenchConfiguration(const std::wstring& path, int tagCount, int limitedTags, int tagsPerArea = kTagsPerArea);

// Item ID of the tag with the given index (area-major order).
std::wstring BenchItemId(int tagIndex, int tagsPerArea = kTagsPerArea);

// `itemCount` tag indexes spread evenly over all `tagCount` tags, so that
// every area is visited whatever the configuration's size.
std::vector<int> SpreadTagIndexes(int tagCount, int itemCount);
