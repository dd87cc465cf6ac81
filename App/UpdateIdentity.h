// What this build trusts and what it is, for the self-updater: the public half of the key
// that signs update archives and the build stamp (seconds since 1970 UTC when the build was
// configured). The definitions are generated into the build folder by palvor-update-sign
// from the key the build signs its own archive with (a development key made in the build
// folder unless the build was configured with PALVOR_UPDATE_KEY).
#pragma once

#include <cstdint>

#include "App/RUpdateSignature.h"

namespace DUve {

extern const CUpdatePublicKey kUpdatePublicKey;
extern const uint64_t kBuildStamp;
extern const bool kUpdateKeyIsDevelopment;

}  // namespace DUve
