// The serialization framework: per-family registries that map a 16-bit serialize id
// (CRC-16/ARC of the class's qualified name) to a factory, the CObjT base that gives a
// class its id, and the save/load operations that turn objects into payload bytes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/RArchive.h"

namespace DUve {

// CRC-16/ARC (polynomial 0x8005 reflected, initial 0, no final xor) of the bytes.
uint16_t Crc16Arc(std::string_view bytes);

// The qualified name of a run-time type name: every "class " and "struct " removed.
std::string QualifiedTypeName(std::string_view typeName);

// Serialize id of a run-time type name (the CRC-16/ARC of its qualified name).
inline uint16_t SerializeIdOf(std::string_view typeName) {
    return Crc16Arc(QualifiedTypeName(typeName));
}

namespace RSerializeInner {
// Nesting depth of polymorphic loads on this thread; bounded so that crafted input
// cannot recurse the stack away.
inline thread_local int t_nLoadDepth = 0;
constexpr int kMaxLoadDepth = 16;
}  // namespace RSerializeInner

// One registry per family. `Base` names the family's root and provides
// `static void RegisterClasses(CRSerializeT<Base>::CRegistrar&)`, which registers every
// class of the family in its fixed order.
template <class Base>
class CRSerializeT {
public:
    using CPtr = std::shared_ptr<const Base>;
    using CFactory = std::shared_ptr<Base> (*)(CRArchive&);
    using CMap = std::map<uint16_t, CFactory>;
    static constexpr uint32_t kNoLimit = 0xFFFFFFFFu;

    class CRegistrar {
    public:
        explicit CRegistrar(CMap& map) : m_map(map) {}
        // Computes the id of `typeName`, traces it, inserts the factory unless the id is
        // taken (the first registration stays) and returns the id.
        uint16_t Register(std::string_view typeName, CFactory factory);
        // Registers T (a CObjT) and stores the id in T's static id.
        template <class T>
        void Add() {
            T::s_nSerializeId = Register(T::kTypeName, &T::Factory::Create);
        }

    private:
        CMap& m_map;
    };

    // The registry, built on first use (the family's translation unit forces that
    // during static initialization); read-only afterwards.
    static const CMap& Registry() {
        static const CMap map = [] {
            CMap m;
            CRegistrar r(m);
            Base::RegisterClasses(r);
            return m;
        }();
        return map;
    }

    static CFactory Find(uint16_t id) {
        const auto& map = Registry();
        const auto it = map.find(id);
        return it == map.end() ? nullptr : it->second;
    }

    // Appends one object (id, then fields) to `out`; on any failure nothing is appended.
    static bool AppendObject(CRBytes& out, const Base& object) {
        const size_t mark = out.size();
        try {
            CRArchive ar(out);
            ar.WriteU16(object.GetSerializeId());
            object.Serialize(ar);
            return true;
        } catch (...) {
            out.resize(mark);
            return false;
        }
    }

    static CRBytes SaveObject(const Base& object) {
        CRBytes out;
        AppendObject(out, object);
        return out;
    }

    // The concatenation of SaveObject of each object, nothing between or around them.
    template <class Ptr>
    static CRBytes SaveObjects(const std::vector<Ptr>& objects) {
        CRBytes out;
        for (const auto& o : objects)
            if (o) AppendObject(out, *o);
        return out;
    }

    // Reads one polymorphic object (id, then fields); null on any failure.
    static CPtr LoadObject(CRArchive& ar) {
        using namespace RSerializeInner;
        if (t_nLoadDepth >= kMaxLoadDepth) return nullptr;
        ++t_nLoadDepth;
        std::shared_ptr<Base> object;
        try {
            const CFactory factory = Find(ar.ReadU16());
            if (factory) object = factory(ar);
        } catch (...) {
            object = nullptr;
        }
        --t_nLoadDepth;
        return object;
    }

    // Reads objects until the data ends (fewer than 2 bytes left) or `maxCount` objects
    // were read. All or nothing: any failure gives an empty vector.
    static std::vector<CPtr> LoadObjects(CRArchive& ar, uint32_t maxCount = kNoLimit) {
        std::vector<CPtr> result;
        try {
            for (uint32_t count = 0; count != maxCount && ar.Remaining() >= 2; ++count) {
                CPtr object = LoadObject(ar);
                if (!object) return {};
                result.push_back(std::move(object));
            }
        } catch (...) {
            return {};
        }
        return result;
    }

    static std::vector<CPtr> LoadObjects(const uint8_t* data, size_t size,
                                         uint32_t maxCount = kNoLimit) {
        CRArchive ar(data, size);
        return LoadObjects(ar, maxCount);
    }

    static std::vector<CPtr> LoadObjects(const CRBytes& bytes, uint32_t maxCount = kNoLimit) {
        return LoadObjects(bytes.data(), bytes.size(), maxCount);
    }
};

void TraceSerializeId(uint16_t id, std::string_view qualifiedName);

template <class Base>
uint16_t CRSerializeT<Base>::CRegistrar::Register(std::string_view typeName, CFactory factory) {
    const std::string name = QualifiedTypeName(typeName);
    const uint16_t id = Crc16Arc(name);
    TraceSerializeId(id, name);
    m_map.emplace(id, factory);  // keeps an existing entry
    return id;
}

// Base of every serializable class T of the family rooted at `Base::CFamily`. Gives T its
// serialize id and the Factory that builds a T from a loading archive. T declares
// `static constexpr std::string_view kTypeName` (its qualified name) and a constructor
// taking `CRArchive&`.
template <class T, class Base>
class CObjT : public Base {
public:
    using CFamily = typename Base::CFamily;
    using Base::Base;

    struct Factory {
        static std::shared_ptr<CFamily> Create(CRArchive& ar) { return std::make_shared<T>(ar); }
    };

    static uint16_t SerializeId() {
        CRSerializeT<CFamily>::Registry();
        return s_nSerializeId;
    }
    uint16_t GetSerializeId() const override { return SerializeId(); }

private:
    friend class CRSerializeT<CFamily>::CRegistrar;
    static inline uint16_t s_nSerializeId = 0;
};

}  // namespace DUve

namespace DUve {

// A CObjT whose class lists its fields once, in wire order, as
//     template <class Self, class F> static void Fields(Self& self, F&& f) { f(self.a, self.b); }
// Serialize writes them and Load (called from T's archive constructor) reads them.
template <class T, class Base>
class CFieldObjT : public CObjT<T, Base> {
public:
    using CObjT<T, Base>::CObjT;

    void Serialize(CRArchive& ar) const override {
        if (!ar.IsStoring()) return;
        T::Fields(static_cast<const T&>(*this),
                  [&ar](const auto&... field) { (WriteField(ar, field), ...); });
    }

protected:
    void Load(CRArchive& ar) {
        T::Fields(static_cast<T&>(*this), [&ar](auto&... field) { (ReadField(ar, field), ...); });
    }
};

}  // namespace DUve
