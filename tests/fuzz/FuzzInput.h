// Shared by the libFuzzer targets and the corpus replay test: load one input with both
// families, as the server and the database would, and check what a successful load
// promises (re-saving gives bytes that load again to the same number of objects).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "model/SeqProperty.h"
#include "server/Protocol.h"

namespace PalvorFuzz {

template <class Serialize>
inline bool CheckFamily(const uint8_t* data, size_t size) {
    const auto objects = Serialize::LoadObjects(data, size);
    if (objects.empty()) return true;
    const auto again = Serialize::SaveObjects(objects);
    return Serialize::LoadObjects(again).size() == objects.size();
}

inline bool CheckProtocol(const uint8_t* data, size_t size) {
    return CheckFamily<DUve::Sequencer::CProtocol::CSerialize>(data, size);
}

inline bool CheckProperty(const uint8_t* data, size_t size) {
    return CheckFamily<DUve::CRSeq::Property::CSerialize>(data, size);
}

}  // namespace PalvorFuzz
