// palvor-update-sign: the keys and signatures of update archives.
//   keygen [--keep] KEYFILE     a new secret key (mode 0600); prints its public key.
//                               --keep: an existing KEYFILE is kept and used
//   public KEYFILE              prints the public key (64 hex digits)
//   sign KEYFILE STAMP EXE OUT  writes EXE's signature entry for build STAMP to OUT
//   identity KEYFILE STAMP KIND OUT.cpp
//                               writes the public key and build stamp the program is built
//                               with (KIND: development or release); OUT.cpp is left as it
//                               is when it would not change
// The build runs it; a release manager runs keygen once for the release key.
#include <sys/stat.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "App/RUpdateSignature.h"

using namespace DUve;
namespace fs = std::filesystem;

namespace {

int Fail(const std::string& text) {
    std::fprintf(stderr, "palvor-update-sign: %s\n", text.c_str());
    return 1;
}

int Usage() {
    std::fputs(
        "usage: palvor-update-sign keygen [--keep] KEYFILE\n"
        "       palvor-update-sign public KEYFILE\n"
        "       palvor-update-sign sign KEYFILE BUILD_STAMP EXE OUT.sig\n"
        "       palvor-update-sign identity KEYFILE BUILD_STAMP development|release OUT.cpp\n",
        stderr);
    return 2;
}

bool ReadKey(const std::string& file, CUpdateSecretKey& key, std::string& error) {
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0 && (st.st_mode & 077))
        std::fprintf(stderr, "palvor-update-sign: warning: %s can be read by others\n",
                     file.c_str());
    const auto read = ReadSecretKeyFile(file, error);
    if (read) key = *read;
    return read.has_value();
}

bool ParseStamp(const std::string& text, uint64_t& stamp) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), stamp);
    return ec == std::errc() && end == text.data() + text.size();
}

bool WriteIfChanged(const fs::path& file, const std::string& text) {
    std::ifstream in(file, std::ios::binary);
    if (in && std::string(std::istreambuf_iterator<char>(in), {}) == text) return true;
    in.close();
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

int Keygen(const std::vector<std::string>& args) {
    const bool keep = args.size() == 2 && args[0] == "--keep";
    if (args.size() != 1 && !keep) return Usage();
    const std::string& file = args.back();
    std::string error;
    CUpdateSecretKey key{};
    if (keep && fs::exists(file)) {
        if (!ReadKey(file, key, error)) return Fail(error);
    } else {
        if (!SodiumReady()) return Fail("libsodium cannot be initialised");
        std::error_code ec;
        if (fs::path(file).has_parent_path()) fs::create_directories(fs::path(file).parent_path(), ec);
        key = NewSecretKey();
        if (!WriteSecretKeyFile(file, key, error)) return Fail(error);
    }
    std::printf("%s\n", ToHex(PublicKeyOf(key)).c_str());
    return 0;
}

int Sign(const std::vector<std::string>& args) {
    if (args.size() != 4) return Usage();
    CUpdateSecretKey key{};
    uint64_t stamp = 0;
    std::string error;
    if (!ReadKey(args[0], key, error)) return Fail(error);
    if (!ParseStamp(args[1], stamp)) return Fail("not a build stamp: " + args[1]);
    std::ifstream in(args[2], std::ios::binary);
    if (!in) return Fail("cannot read " + args[2]);
    const std::vector<uint8_t> content{std::istreambuf_iterator<char>(in), {}};
    const auto entry = SignUpdate(key, stamp, content);
    if (entry.size() != CUpdateSignature::kSize) return Fail("libsodium cannot sign");
    std::ofstream out(args[3], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(entry.data()), static_cast<std::streamsize>(entry.size()));
    if (!out.flush()) return Fail("cannot write " + args[3]);
    return 0;
}

int Identity(const std::vector<std::string>& args) {
    if (args.size() != 4 || (args[2] != "development" && args[2] != "release")) return Usage();
    CUpdateSecretKey key{};
    uint64_t stamp = 0;
    std::string error;
    if (!ReadKey(args[0], key, error)) return Fail(error);
    if (!ParseStamp(args[1], stamp)) return Fail("not a build stamp: " + args[1]);
    std::string bytes;
    for (const uint8_t b : PublicKeyOf(key)) bytes += std::to_string(b) + ",";
    const std::string text = "// Made by palvor-update-sign identity; do not edit.\n"
                             "#include \"App/UpdateIdentity.h\"\n"
                             "namespace DUve {\n"
                             "const CUpdatePublicKey kUpdatePublicKey = {" + bytes + "};\n"
                             "const uint64_t kBuildStamp = " + std::to_string(stamp) + "u;\n"
                             "const bool kUpdateKeyIsDevelopment = " +
                             (args[2] == "development" ? "true" : "false") + ";\n"
                             "}  // namespace DUve\n";
    if (!WriteIfChanged(args[3], text)) return Fail("cannot write " + args[3]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "keygen") return Keygen(args);
    if (command == "sign") return Sign(args);
    if (command == "identity") return Identity(args);
    if (command == "public" && args.size() == 1) {
        CUpdateSecretKey key{};
        std::string error;
        if (!ReadKey(args[0], key, error)) return Fail(error);
        std::printf("%s\n", ToHex(PublicKeyOf(key)).c_str());
        return 0;
    }
    return Usage();
}
