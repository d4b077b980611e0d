// The stream records' wire layout is checked where it is declared
// (OpcStreamLayout.h); in memory the interfaces' enumerations must match too.
#include <gtest/gtest.h>

#include "OpcDa.h"

// In memory the enumerations are 32-bit, whatever their size on the wire.
TEST(StreamLayoutTest, EnumerationsAreThirtyTwoBitsInMemory) {
    EXPECT_EQ(4u, sizeof(OPCDATASOURCE));
    EXPECT_EQ(4u, sizeof(OPCSERVERSTATE));
    EXPECT_EQ(4u, sizeof(OPCEUTYPE));
}
