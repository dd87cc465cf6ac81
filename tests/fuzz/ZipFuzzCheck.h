// Shared by the update-archive fuzz target and its corpus replay test: read one input as
// the updater reads an archive (end record in the last 22 bytes, the directory it points
// to, every entry's local header and content, a signature entry's fields) and check what
// the reader promises: nothing is read past the input, and content comes back once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "App/RUpdateSignature.h"
#include "App/RZip.h"

namespace PalvorFuzz {

// False when the reader broke one of its promises on this input.
inline bool CheckZip(const uint8_t* data, size_t size) {
    using DUve::CRZip;
    const std::span<const uint8_t> bytes(data, size);
    (void)DUve::ParseUpdateSignature(bytes);
    if (size < CRZip::kEndRecordSize) return CRZip::ParseEndRecord(bytes).nSignature == 0;
    const CRZip::CEndRecord end = CRZip::ParseEndRecord(bytes.subspan(size - CRZip::kEndRecordSize));
    if (end.nDirectoryOffset >= size) return true;
    const auto directory = bytes.subspan(end.nDirectoryOffset);
    const auto entries = CRZip::ParseCentralDirectory(directory, end.nEntriesOnDisk);
    size_t held = 0;
    for (const auto& e : entries)
        held += CRZip::kDirHeaderSize + e.sName.size() + e.vExtra.size() + e.vComment.size();
    if (entries.size() > end.nEntriesOnDisk || held > directory.size()) return false;
    for (const auto& e : entries) {
        (void)e.NameUtf8();
        if (e.nLocalHeaderOffset >= size) continue;
        const auto info = CRZip::ParseFileInfo(bytes.subspan(e.nLocalHeaderOffset));
        if (!info) continue;
        if (info->pCompressed->size() != info->nCompressedSize ||
            CRZip::kLocalHeaderSize + info->sName.size() + info->vExtra.size() +
                    info->nCompressedSize > size - e.nLocalHeaderOffset)
            return false;
        const auto content = CRZip::GetContent(*info);
        if (!content) continue;
        if (info->nMethod == 0 && *content != *info->pCompressed) return false;
        if (CRZip::GetContent(*info) != content) return false;  // inflated once while held
        (void)DUve::ParseUpdateSignature(*content);
    }
    return true;
}

}  // namespace PalvorFuzz
