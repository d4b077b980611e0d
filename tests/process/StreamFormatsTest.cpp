#include <gtest/gtest.h>

#include "StreamFormats.h"

TEST(StreamFormats, OneNumberPerNameSharedWithEveryProcess) {
    const UINT data = StreamFormatData();
    const UINT dataTime = StreamFormatDataTime();
    const UINT writeComplete = StreamFormatWriteComplete();
    EXPECT_GE(data, 0xC000u);  // registered formats, not predefined ones
    EXPECT_NE(data, dataTime);
    EXPECT_NE(data, writeComplete);
    EXPECT_NE(dataTime, writeComplete);
    // Any client registering the names gets the same numbers.
    EXPECT_EQ(RegisterClipboardFormatW(L"OPCSTMFORMATDATA"), data);
    EXPECT_EQ(RegisterClipboardFormatW(L"OPCSTMFORMATDATATIME"), dataTime);
    EXPECT_EQ(RegisterClipboardFormatW(L"OPCSTMFORMATWRITECOMPLETE"), writeComplete);
}
