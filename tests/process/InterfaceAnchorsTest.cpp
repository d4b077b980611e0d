#include <gtest/gtest.h>

#include <thread>

#include "InterfaceAnchors.h"
#include "OpcDa.h"

// The anchors only help if every one of them is really made: a marshalling
// that failed quietly would leave the interfaces to the runtime again. The
// class factory is the one every connection unregisters without them. The
// test prefix has the OPC interfaces' proxy/stub registered, as a server
// installation has.
TEST(InterfaceAnchorsTest, HoldsEveryInterfaceHandedToClientsUntilReleased) {
    std::thread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        {
            InterfaceAnchors anchors;
            EXPECT_EQ(anchors.Hold(), InterfaceAnchors::Interfaces().size());
            EXPECT_EQ(anchors.Count(), InterfaceAnchors::Interfaces().size());
            for (const IID* iid :
                 {&IID_IClassFactory, &IID_IOPCServer, &IID_IOPCItemMgt, &IID_IDataObject, &IID_IEnumString}) {
                bool listed = false;
                for (const IID& held : InterfaceAnchors::Interfaces()) listed = listed || IsEqualIID(held, *iid);
                EXPECT_TRUE(listed);
            }
            anchors.Release();
            EXPECT_EQ(anchors.Count(), 0u);
            // Held again after a release, and let go by the destructor.
            EXPECT_EQ(anchors.Hold(), InterfaceAnchors::Interfaces().size());
        }
        CoUninitialize();
    }).join();
}
