// Text helpers: the program keeps text as UTF-16 (std::u16string) in memory and on the
// wire; these convert to and from UTF-8 for files, terminals and libraries, and format
// printf-style messages whose string arguments may be either kind.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace DUve {

// UTF-8 -> UTF-16. Malformed UTF-8 sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);

// UTF-16 -> UTF-8. Surrogate pairs become one 4-byte sequence; a lone surrogate
// becomes U+FFFD (UTF-8 cannot carry it).
std::string Utf16ToUtf8(std::u16string_view text);

// One byte per character from the 8-bit code page used for narrow strings on the wire
// (ISO-8859-1: byte b is code point U+00bb).
std::u16string NarrowToUtf16(const unsigned char* bytes, size_t count);

namespace FormatInner {
inline const char* Arg(const std::string& s) { return s.c_str(); }
inline const char* Arg(const char* s) { return s; }
template <class T>
    requires std::is_arithmetic_v<T> || std::is_pointer_v<T>
inline T Arg(T v) {
    return v;
}
// Strings are converted to UTF-8 std::string kept alive for the call; others pass through.
template <class T>
inline decltype(auto) Keep(T&& v) {
    using D = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<D, std::u16string> || std::is_same_v<D, std::u16string_view>)
        return Utf16ToUtf8(v);
    else if constexpr (std::is_same_v<D, std::string_view>)
        return std::string(v);
    else
        return std::forward<T>(v);
}
std::string VFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
}  // namespace FormatInner

// printf-style formatting into UTF-8. "%s" takes std::string, std::u16string or a
// C string alike (UTF-16 arguments are converted to UTF-8 first).
template <class... Args>
std::string Format(const char* fmt, Args&&... args) {
    return [fmt](auto&&... kept) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
        return FormatInner::VFormat(fmt, FormatInner::Arg(kept)...);
#pragma GCC diagnostic pop
    }(FormatInner::Keep(std::forward<Args>(args))...);
}

}  // namespace DUve
