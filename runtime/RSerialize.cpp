#include "runtime/RSerialize.h"

#include <boost/crc.hpp>

#include "runtime/RDebugTrace.h"

namespace DUve {

uint16_t Crc16Arc(std::string_view bytes) {
    boost::crc_16_type crc;  // poly 0x8005 reflected, init 0, no final xor
    crc.process_bytes(bytes.data(), bytes.size());
    return static_cast<uint16_t>(crc.checksum());
}

std::string QualifiedTypeName(std::string_view typeName) {
    std::string s(typeName);
    for (const std::string_view keyword : {std::string_view("class "), std::string_view("struct ")}) {
        for (size_t pos = s.find(keyword); pos != std::string::npos; pos = s.find(keyword, pos))
            s.erase(pos, keyword.size());
    }
    return s;
}

void TraceSerializeId(uint16_t id, std::string_view qualifiedName) {
    DebugTrace("\nSerializeId %04x - %.*s", id, static_cast<int>(qualifiedName.size()),
               qualifiedName.data());
}

}  // namespace DUve
