// The framework on a small family of its own, so the rules are checked apart from the
// real classes: id computation, registration, all-or-nothing loading, maxCount, failed
// saves and the nesting bound.
#include "runtime/RSerialize.h"

#include <gtest/gtest.h>

#include "support/Bytes.h"

using namespace DUve;
using PalvorTest::Hex;
using PalvorTest::ToHex;

namespace TestFamily {

class CBase {
public:
    using CFamily = CBase;
    virtual ~CBase() = default;
    virtual uint16_t GetSerializeId() const = 0;
    virtual void Serialize(CRArchive& ar) const = 0;
    static void RegisterClasses(CRSerializeT<CBase>::CRegistrar& r);
    static inline uint16_t s_duplicateId = 0;
};
using CSerialize = CRSerializeT<CBase>;

struct CValue : CFieldObjT<CValue, CBase> {
    static constexpr std::string_view kTypeName = "class TestFamily::CValue";
    uint32_t n = 0;
    CValue() = default;
    explicit CValue(uint32_t v) : n(v) {}
    explicit CValue(CRArchive& ar) { Load(ar); }
    template <class S, class F>
    static void Fields(S& s, F&& f) {
        f(s.n);
    }
};

// Refuses to be written.
struct CUnwritable : CObjT<CUnwritable, CBase> {
    static constexpr std::string_view kTypeName = "TestFamily::CUnwritable";
    CUnwritable() = default;
    explicit CUnwritable(CRArchive&) {}
    void Serialize(CRArchive& ar) const override {
        if (!ar.IsStoring()) return;
        ar.WriteU8(0xEE);
        throw CRArchiveException("cannot write");
    }
};

// Holds one polymorphic child, so nesting depth is under the input's control.
struct CNest : CObjT<CNest, CBase> {
    static constexpr std::string_view kTypeName = "TestFamily::CNest";
    std::shared_ptr<const CBase> child;
    CNest() = default;
    explicit CNest(CRArchive& ar) {
        if (ar.ReadU8()) {
            child = CSerialize::LoadObject(ar);
            if (!child) throw CRArchiveException("bad child");
        }
    }
    void Serialize(CRArchive&) const override {}
};

struct CFactoryReturnsNothing {
    static std::shared_ptr<CBase> Create(CRArchive&) { return nullptr; }
};

void CBase::RegisterClasses(CRSerializeT<CBase>::CRegistrar& r) {
    r.Add<CValue>();
    r.Add<CUnwritable>();
    r.Add<CNest>();
    // A second class under an id already taken: the first registration stays.
    s_duplicateId = r.Register("struct TestFamily::CValue", &CFactoryReturnsNothing::Create);
    r.Register("TestFamily::CNothing", &CFactoryReturnsNothing::Create);
}

}  // namespace TestFamily

using namespace TestFamily;

namespace {
CRBytes IdBytes(const std::string& name) {
    const uint16_t id = PalvorTest::ReferenceCrc16Arc(name);
    return {static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8)};
}
CRBytes Cat(CRBytes a, const CRBytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
}  // namespace

TEST(SerializeId, IsCrc16ArcOfTheQualifiedName) {
    EXPECT_EQ(Crc16Arc("123456789"), 0xBB3D);  // the CRC's published check value
    EXPECT_EQ(QualifiedTypeName("class DUve::CRSeq::Property::CSequence"),
              "DUve::CRSeq::Property::CSequence");
    EXPECT_EQ(QualifiedTypeName("struct A::B<class C::D>"), "A::B<C::D>");
    EXPECT_EQ(CValue::SerializeId(), PalvorTest::ReferenceCrc16Arc("TestFamily::CValue"));
    EXPECT_EQ(CBase::s_duplicateId, CValue::SerializeId());
    // The duplicate did not replace the first factory.
    const auto loaded = CSerialize::LoadObjects(Cat(IdBytes("TestFamily::CValue"), Hex("05 00 00 00")));
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(std::dynamic_pointer_cast<const CValue>(loaded[0])->n, 5u);
}

TEST(SaveObjects, IsTheConcatenationWithNothingAround) {
    const auto a = std::make_shared<const CValue>(1);
    const auto b = std::make_shared<const CValue>(0x0A0B0C0D);
    const CRBytes one = CSerialize::SaveObject(*a);
    EXPECT_EQ(one, Cat(IdBytes("TestFamily::CValue"), Hex("01 00 00 00")));
    const std::vector<std::shared_ptr<const CBase>> both{a, b};
    EXPECT_EQ(CSerialize::SaveObjects(both), Cat(one, CSerialize::SaveObject(*b)));
}

TEST(SaveObjects, AnObjectThatFailsToWriteContributesNoBytes) {
    EXPECT_TRUE(CSerialize::SaveObject(CUnwritable()).empty());
    const std::vector<std::shared_ptr<const CBase>> objects{
        std::make_shared<const CValue>(1), std::make_shared<const CUnwritable>(),
        std::make_shared<const CValue>(2)};
    EXPECT_EQ(CSerialize::SaveObjects(objects),
              Cat(CSerialize::SaveObject(CValue(1)), CSerialize::SaveObject(CValue(2))));
}

TEST(LoadObjects, AllOrNothing) {
    const CRBytes v1 = CSerialize::SaveObject(CValue(1));
    const CRBytes v2 = CSerialize::SaveObject(CValue(2));
    EXPECT_TRUE(CSerialize::LoadObjects(CRBytes{}).empty());
    EXPECT_EQ(CSerialize::LoadObjects(Cat(v1, Hex("7F"))).size(), 1u);  // stray byte ignored
    EXPECT_EQ(CSerialize::LoadObjects(Cat(v1, v2)).size(), 2u);
    // Unknown id in second place: nothing, not the first object.
    EXPECT_TRUE(CSerialize::LoadObjects(Cat(v1, IdBytes("TestFamily::CUnknown"))).empty());
    // A field cut short in the second object.
    EXPECT_TRUE(CSerialize::LoadObjects(Cat(v1, CRBytes(v2.begin(), v2.end() - 1))).empty());
    // A factory that returns nothing.
    EXPECT_TRUE(CSerialize::LoadObjects(Cat(v1, IdBytes("TestFamily::CNothing"))).empty());
}

TEST(LoadObjects, MaxCountStopsEarlyAndIgnoresTheRest) {
    const CRBytes payload = Cat(CSerialize::SaveObject(CValue(7)), Hex("00 00 FF FF FF"));
    const auto one = CSerialize::LoadObjects(payload, 1);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(std::dynamic_pointer_cast<const CValue>(one[0])->n, 7u);
    EXPECT_TRUE(CSerialize::LoadObjects(payload).empty());
    EXPECT_TRUE(CSerialize::LoadObjects(payload, 0).empty());

    // Continuing on an archive positioned inside a larger structure.
    const CRBytes framed = Cat(Hex("AA"), Cat(CSerialize::SaveObject(CValue(9)), Hex("BB")));
    CRArchive ar(framed.data(), framed.size());
    EXPECT_EQ(ar.ReadU8(), 0xAA);
    EXPECT_EQ(CSerialize::LoadObjects(ar, 1).size(), 1u);
    EXPECT_EQ(ar.ReadU8(), 0xBB);
}

TEST(LoadObjects, DeepNestingFailsInsteadOfExhaustingTheStack) {
    const CRBytes nest = Cat(IdBytes("TestFamily::CNest"), Hex("01"));
    const CRBytes leaf = Cat(IdBytes("TestFamily::CNest"), Hex("00"));
    CRBytes shallow, deep;
    for (int i = 0; i < 4; ++i) shallow = Cat(shallow, nest);
    shallow = Cat(shallow, leaf);
    EXPECT_EQ(CSerialize::LoadObjects(shallow).size(), 1u);
    for (int i = 0; i < 200000; ++i) deep.insert(deep.end(), nest.begin(), nest.end());
    deep = Cat(deep, leaf);
    EXPECT_TRUE(CSerialize::LoadObjects(deep).empty());
}
