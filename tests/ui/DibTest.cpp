#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CDib.h"
#include "TempFolder.h"
#include "WholeFile.h"

namespace {
// A bottom-up bitmap: 14-byte file header, 40-byte information header,
// palette, pixels (rows padded to four bytes).
std::vector<std::uint8_t> Bitmap(int width, int height, int bits, std::uint32_t infoSize = 40, bool stateSize = false) {
    const int palette = bits <= 8 ? (1 << bits) * 4 : 0;
    const int stride = (width * bits + 31) / 32 * 4;
    const std::uint32_t pixels = static_cast<std::uint32_t>(stride * height);
    const std::uint32_t offset = 14 + 40 + palette;
    std::vector<std::uint8_t> b;
    auto u16 = [&b](unsigned v) {
        b.push_back(v & 0xFF);
        b.push_back((v >> 8) & 0xFF);
    };
    auto u32 = [&u16](std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    };
    u16(0x4D42);
    u32(offset + pixels);
    u32(0);
    u32(offset);
    u32(infoSize);
    u32(width);
    u32(height);
    u16(1);
    u16(bits);
    u32(0);
    u32(stateSize ? pixels : 0);
    u32(2835);
    u32(2835);
    u32(0);
    u32(0);
    for (int i = 0; i < palette; ++i) b.push_back(static_cast<std::uint8_t>(i));
    for (std::uint32_t i = 0; i < pixels; ++i) b.push_back(static_cast<std::uint8_t>(i * 7));
    return b;
}
}  // namespace

TEST(DibTest, ReadsBitmapsAndRefusesWhatIsNotOne) {
    TempFolder folder;
    const std::wstring path = folder.File(L"test.bmp");
    DWORD error = 0;
    for (int bits : {4, 8, 24, 32}) {
        ASSERT_TRUE(WriteFileReplacing(path, Bitmap(35, 16, bits, 40, bits == 32), error));
        CDib dib;
        ASSERT_TRUE(dib.Read(path)) << bits;
        EXPECT_EQ(dib.Width(), 35);
        EXPECT_EQ(dib.Height(), 16);
        HBITMAP bitmap = dib.CreateBitmap();
        ASSERT_NE(bitmap, nullptr) << bits;
        BITMAP info{};
        GetObjectW(bitmap, sizeof(info), &info);
        EXPECT_EQ(info.bmWidth, 35);
        DeleteObject(bitmap);
    }

    std::vector<std::uint8_t> wrongType = Bitmap(16, 16, 24);
    wrongType[0] = 'X';
    std::vector<std::uint8_t> coreHeader = Bitmap(16, 16, 24, 12);
    std::vector<std::uint8_t> truncated = Bitmap(16, 16, 24);
    truncated.resize(truncated.size() - 1);
    std::vector<std::uint8_t> shortHeader = Bitmap(16, 16, 24);
    shortHeader.resize(13);
    for (const auto* bytes : {&wrongType, &coreHeader, &truncated, &shortHeader}) {
        ASSERT_TRUE(WriteFileReplacing(path, *bytes, error));
        CDib dib;
        EXPECT_FALSE(dib.Read(path));
        EXPECT_TRUE(dib.IsEmpty());
        EXPECT_EQ(dib.CreateBitmap(), nullptr);
    }
    CDib missing;
    EXPECT_FALSE(missing.Read(path + L".none"));
}
