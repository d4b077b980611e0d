// The stream records are written into HGLOBALs byte for byte: their declared
// layout must be the wire layout on every build.
#include <gtest/gtest.h>

#include <cstddef>

#include "OpcDa.h"

TEST(StreamLayoutTest, RecordsHaveTheWireSizesAndOffsets) {
    EXPECT_EQ(20u, sizeof(OPCGROUPHEADER));
    EXPECT_EQ(16u, offsetof(OPCGROUPHEADER, hrStatus));
    EXPECT_EQ(20u, sizeof(OPCITEMHEADER1));
    EXPECT_EQ(8u, offsetof(OPCITEMHEADER1, wQuality));
    EXPECT_EQ(12u, offsetof(OPCITEMHEADER1, ftTimeStampItem));
    EXPECT_EQ(12u, sizeof(OPCITEMHEADER2));
    EXPECT_EQ(10u, offsetof(OPCITEMHEADER2, wReserved));
    EXPECT_EQ(16u, sizeof(OPCGROUPHEADERWRITE));
    EXPECT_EQ(12u, offsetof(OPCGROUPHEADERWRITE, hrStatus));
    EXPECT_EQ(8u, sizeof(OPCITEMHEADERWRITE));
    EXPECT_EQ(4u, offsetof(OPCITEMHEADERWRITE, dwError));
}

// In memory the enumerations are 32-bit, whatever their size on the wire.
TEST(StreamLayoutTest, EnumerationsAreThirtyTwoBitsInMemory) {
    EXPECT_EQ(4u, sizeof(OPCDATASOURCE));
    EXPECT_EQ(4u, sizeof(OPCSERVERSTATE));
    EXPECT_EQ(4u, sizeof(OPCEUTYPE));
}
