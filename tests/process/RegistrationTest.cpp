// The component categories of registration, on ids of the test's own: each
// key carries its description and goes only once no class but the one
// leaving implements its category.
#include <gtest/gtest.h>

#include "RegistryProbe.h"
#include "ServerRegistration.h"

namespace {
std::wstring Text(REFGUID id) {
    wchar_t text[40];
    StringFromGUID2(id, text, 40);
    return text;
}
}  // namespace

TEST(ComponentCategories, KeysGoOnlyWhenNoOtherClassImplementsThem) {
    const GUID kept = {0x5CA7E001, 0x7E57, 0x4C0A, {0x9A, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};
    const GUID dropped = {0x5CA7E001, 0x7E57, 0x4C0A, {0x9A, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}};
    const CLSID leaving = {0x5CA7E001, 0x7E57, 0x4C0A, {0x9A, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03}};
    const CLSID other = {0x5CA7E001, 0x7E57, 0x4C0A, {0x9A, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x04}};
    const ComponentCategory categories[] = {{kept, L"Kept category"}, {dropped, L"Dropped category"}};
    auto categoryKey = [](REFGUID id) { return L"Component Categories\\" + Text(id); };
    auto implement = [](REFCLSID clsid, REFGUID id) {
        return SetTextValue(HKEY_CLASSES_ROOT, L"CLSID\\" + Text(clsid) + L"\\Implemented Categories\\" + Text(id),
                            L"", L"");
    };

    ASSERT_EQ(RegisterCategories(categories), S_OK);
    for (const ComponentCategory& category : categories) {
        EXPECT_EQ(TextValue(HKEY_CLASSES_ROOT, categoryKey(category.id), L"409"), category.description);
    }
    ASSERT_TRUE(implement(leaving, kept) && implement(leaving, dropped) && implement(other, kept));
    EXPECT_TRUE(CategoryInUse(kept, leaving));
    EXPECT_FALSE(CategoryInUse(dropped, leaving));
    EXPECT_TRUE(CategoryInUse(dropped, other));

    EXPECT_EQ(UnregisterUnusedCategories(categories, leaving), S_OK);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, categoryKey(kept)));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, categoryKey(dropped)));
    DeleteKeyTree(HKEY_CLASSES_ROOT, L"CLSID\\" + Text(other));
    EXPECT_EQ(UnregisterUnusedCategories(categories, leaving), S_OK);
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, categoryKey(kept)));
    DeleteKeyTree(HKEY_CLASSES_ROOT, L"CLSID\\" + Text(leaving));
}
