#include "runtime/RUid.h"

#include <gtest/gtest.h>

#include <set>

using namespace DUve;

TEST(Uid, NullIsSmallestAndEqualOnlyToItself) {
    const CRUid null;
    EXPECT_TRUE(null.IsNull());
    uint8_t last[16] = {};
    last[15] = 1;
    EXPECT_LT(null, CRUid(last));
    EXPECT_NE(null, CRUid(last));
    EXPECT_EQ(null, CRUid());
}

TEST(Uid, FirstByteIsMostSignificantAndBytesAreUnsigned) {
    uint8_t a[16] = {}, b[16] = {}, c[16] = {};
    a[15] = 1;
    b[0] = 1;
    c[0] = 0x80;
    EXPECT_LT(CRUid(a), CRUid(b));
    EXPECT_LT(CRUid(b), CRUid(c));
}

TEST(Uid, TextFormIsLowerCaseHexInStorageOrder) {
    uint8_t b[16];
    for (int i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(i);
    const CRUid id(b);
    EXPECT_EQ(id.ToText(), "000102030405060708090a0b0c0d0e0f");
    EXPECT_EQ(CRUid::FromText("000102030405060708090A0B0C0D0E0F"), id);
    EXPECT_FALSE(CRUid::FromText("0001"));
    EXPECT_FALSE(CRUid::FromText("zz0102030405060708090a0b0c0d0e0f"));
}

TEST(Uid, GeneratedIdentifiersAreDistinctVersion4Guids) {
    std::set<CRUid> seen;
    for (int i = 0; i < 10000; ++i) {
        const CRUid id = CRUid::Generate();
        EXPECT_FALSE(id.IsNull());
        EXPECT_EQ(id.Data()[7] >> 4, 4);        // version nibble (little-endian third field)
        EXPECT_EQ(id.Data()[8] & 0xC0, 0x80);   // variant
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 10000u);
}
