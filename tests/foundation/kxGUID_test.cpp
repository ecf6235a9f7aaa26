#include "foundation/kxGUID.h"

#include <gtest/gtest.h>

#include <set>

TEST(GUID, TextFormRoundTripsInUpperCase) {
    TGUID guid;
    ASSERT_TRUE(StringToGUID("{0a1b2c3d-4e5f-6071-8293-a4b5c6d7e8f9}", guid));
    EXPECT_EQ(guid.D1, 0x0A1B2C3Du);
    EXPECT_EQ(guid.D2, 0x4E5F);
    EXPECT_EQ(guid.D3, 0x6071);
    EXPECT_EQ(guid.D4[0], 0x82);
    EXPECT_EQ(guid.D4[7], 0xF9);
    EXPECT_EQ(GUIDToString(guid), "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9}");
}

TEST(GUID, MalformedTextIsRefusedAndLeavesTheValue) {
    const TGUID before = NewGUID();
    for (const char* text :
         {"", "{}", "0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9", "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F}",
          "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8FG}", "{0A1B2C3D+4E5F-6071-8293-A4B5C6D7E8F9}",
          "{0A1B2C3D-4E5F-6071-8293-A4B5C6D7E8F9} "}) {
        TGUID guid = before;
        EXPECT_FALSE(StringToGUID(text, guid)) << text;
        EXPECT_EQ(guid, before) << text;
    }
}

TEST(GUID, NewGUIDsAreDistinctVersion4) {
    std::set<TGUID> seen;
    for (int i = 0; i < 1000; ++i) {
        TGUID guid = NewGUID();
        EXPECT_FALSE(guid.IsNull());
        EXPECT_EQ(guid.D3 >> 12, 4);
        EXPECT_TRUE(seen.insert(guid).second);
    }
    EXPECT_TRUE(NullGUID.IsNull());
}
