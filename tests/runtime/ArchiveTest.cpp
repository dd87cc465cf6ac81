#include "runtime/RArchive.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/Bytes.h"

using namespace DUve;
using PalvorTest::Hex;
using PalvorTest::ToHex;

namespace {

CRBytes Store(auto&& write) {
    CRBytes out;
    CRArchive ar(out);
    write(ar);
    return out;
}

std::u16string LoadString(const CRBytes& bytes) {
    CRArchive ar(bytes.data(), bytes.size());
    return ar.ReadString();
}

}  // namespace

TEST(ArchiveString, WideLengthPrefixAtEachBoundary) {
    EXPECT_EQ(ToHex(Store([](CRArchive& a) { a.WriteString(u""); })), "FF FE FF 00");
    EXPECT_EQ(ToHex(Store([](CRArchive& a) { a.WriteString(u"abc"); })),
              "FF FE FF 03 61 00 62 00 63 00");

    const CRBytes s254 = Store([](CRArchive& a) { a.WriteString(std::u16string(254, u'x')); });
    ASSERT_EQ(s254.size(), 4u + 508u);
    EXPECT_EQ(ToHex(CRBytes(s254.begin(), s254.begin() + 4)), "FF FE FF FE");

    const CRBytes s255 = Store([](CRArchive& a) { a.WriteString(std::u16string(255, u'x')); });
    ASSERT_EQ(s255.size(), 6u + 510u);
    EXPECT_EQ(ToHex(CRBytes(s255.begin(), s255.begin() + 6)), "FF FE FF FF FF 00");

    const CRBytes s65534 =
        Store([](CRArchive& a) { a.WriteString(std::u16string(0xFFFE, u'y')); });
    ASSERT_EQ(s65534.size(), 10u + 2u * 0xFFFE);
    EXPECT_EQ(ToHex(CRBytes(s65534.begin(), s65534.begin() + 10)),
              "FF FE FF FF FF FF FE FF 00 00");

    for (const CRBytes* b : {&s254, &s255, &s65534}) {
        const auto s = LoadString(*b);
        EXPECT_EQ(s.size() * 2 + (b == &s254 ? 4 : b == &s255 ? 6 : 10), b->size());
    }
}

TEST(ArchiveString, ReadsEveryLengthFormWideAndNarrow) {
    EXPECT_EQ(LoadString(Hex("03 61 62 63")), u"abc");                      // narrow, 8-bit length
    EXPECT_EQ(LoadString(Hex("02 E9 FF")), u"\u00e9\u00ff");               // ISO-8859-1
    EXPECT_EQ(LoadString(Hex("FF 04 00 61 62 63 64")), u"abcd");          // narrow, 16-bit length
    EXPECT_EQ(LoadString(Hex("FF FE FF FF 02 00 61 00 62 00")), u"ab");  // wide, 16-bit length
    EXPECT_EQ(LoadString(Hex("FF FE FF FF FF FF 02 00 00 00 61 00 62 00")), u"ab");
    EXPECT_EQ(LoadString(Hex("FF FE FF FF FF FF FF FF FF FF 01 00 00 00 01 00 00 00 7A 00")),
              u"z");  // 64-bit length, low 32 bits used
}

TEST(ArchiveString, TextOutsideTheBasicPlaneRoundTripsInUtf16Units) {
    const std::u16string text = u"\U0001F3B5 \u97f3\u697d";  // surrogate pair + BMP text
    const CRBytes b = Store([&](CRArchive& a) { a.WriteString(text); });
    EXPECT_EQ(b[3], text.size());  // length counts UTF-16 units
    EXPECT_EQ(text.size(), 5u);
    EXPECT_EQ(LoadString(b), text);
}

TEST(ArchiveString, LengthsThatCannotFitFailBeforeAllocating) {
    // Wide length 0x7FFFFFFF with four bytes of data: must throw, not reserve 4 GiB.
    EXPECT_THROW(LoadString(Hex("FF FE FF FF FF FF FF FF FF 7F 61 00 62 00")),
                 CRArchiveException);
    EXPECT_THROW(LoadString(Hex("FF FE FF 03 61 00 62 00")), CRArchiveException);  // 1 char short
    EXPECT_THROW(LoadString(Hex("05 61 62")), CRArchiveException);
    EXPECT_THROW(LoadString(Hex("FF FE")), CRArchiveException);  // prefix cut short
    EXPECT_THROW(LoadString(Hex("")), CRArchiveException);
}

TEST(ArchiveFields, LittleEndianFixedWidthRoundTrip) {
    const CRBytes b = Store([](CRArchive& a) {
        a.WriteU8(0xAB);
        a.WriteBool(true);
        a.WriteU16(0x1234);
        a.WriteI16(-2);
        a.WriteU32(0x01020304);
        a.WriteDouble(120.0);
    });
    EXPECT_EQ(ToHex(b), "AB 01 34 12 FE FF 04 03 02 01 00 00 00 00 00 00 5E 40");
    CRArchive in(b.data(), b.size());
    EXPECT_EQ(in.ReadU8(), 0xAB);
    EXPECT_TRUE(in.ReadBool());
    EXPECT_EQ(in.ReadU16(), 0x1234);
    EXPECT_EQ(in.ReadI16(), -2);
    EXPECT_EQ(in.ReadU32(), 0x01020304u);
    EXPECT_EQ(in.ReadDouble(), 120.0);
    EXPECT_EQ(in.Remaining(), 0u);
    EXPECT_THROW(in.ReadU8(), CRArchiveException);

    const CRBytes seven = Hex("07");
    CRArchive anyNonZero(seven.data(), seven.size());
    EXPECT_TRUE(anyNonZero.ReadBool());
}

TEST(ArchiveFields, ModeMismatchIsAnError) {
    CRBytes out;
    CRArchive storing(out);
    EXPECT_THROW(storing.ReadU8(), CRArchiveException);
    const CRBytes data = Hex("01");
    CRArchive loading(data.data(), data.size());
    EXPECT_THROW(loading.WriteU8(1), CRArchiveException);
}

TEST(ArchiveFields, IdentifierCutShortIsZeroFilled) {
    const CRBytes b = Hex("01 02 03");
    CRArchive in(b.data(), b.size());
    const CRUid id = in.ReadUid();
    EXPECT_EQ(id.ToText(), "01020300000000000000000000000000");
    EXPECT_EQ(in.Remaining(), 0u);
}

TEST(ArchiveFields, BlobsAndCountsMustFitTheRemainingData) {
    const CRBytes blob = Store([](CRArchive& a) { a.WriteBlob({1, 2, 3}); });
    EXPECT_EQ(ToHex(blob), "03 00 00 00 01 02 03");
    {
        CRArchive in(blob.data(), blob.size());
        EXPECT_EQ(in.ReadBlob(), (CRBytes{1, 2, 3}));
    }
    for (const char* bad : {"04 00 00 00 01 02 03", "FF FF FF 7F 00", "FF FF FF FF 00"}) {
        const CRBytes b = Hex(bad);
        CRArchive in(b.data(), b.size());
        EXPECT_THROW(in.ReadBlob(), CRArchiveException) << bad;
    }
    // Identifier sets and lists of 2^32-1 elements announced in 20 bytes.
    const CRBytes huge = Hex("FF FF FF FF 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
    {
        CRArchive in(huge.data(), huge.size());
        EXPECT_THROW(in.ReadUidSet(), CRArchiveException);
    }
    {
        CRArchive in(huge.data(), huge.size());
        EXPECT_THROW(in.ReadUidList(), CRArchiveException);
    }
    {
        CRArchive in(huge.data(), huge.size());
        EXPECT_THROW(in.ReadStringList(), CRArchiveException);
    }
}

TEST(ArchiveFields, IdentifierSetIsWrittenInAscendingOrder) {
    uint8_t hi[16] = {0x02}, lo[16] = {0x01};
    const CRUidSet set{CRUid(hi), CRUid(lo)};
    const CRBytes b = Store([&](CRArchive& a) { a.WriteUidSet(set); });
    ASSERT_EQ(b.size(), 4u + 32u);
    EXPECT_EQ(b[4], 0x01);
    EXPECT_EQ(b[20], 0x02);
    CRArchive in(b.data(), b.size());
    EXPECT_EQ(in.ReadUidSet(), set);

    const CRUidList list{CRUid(hi), CRUid(lo)};
    const CRBytes l = Store([&](CRArchive& a) { a.WriteUidList(list); });
    EXPECT_EQ(l[4], 0x02);  // list order kept
    CRArchive lin(l.data(), l.size());
    EXPECT_EQ(lin.ReadUidList(), list);
}
