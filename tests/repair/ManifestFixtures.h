// Repair manifests of trees held in memory, with the digests a publisher's tool would give them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "patch/SHA256.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairManifest.h"

namespace manifestfixtures
{
inline Sha256Digest Digest(const std::string &bytes)
{
    SHA256 hash;
    hash.Update(bytes.data(), bytes.size());
    return hash.Finish();
}

// The segments of a file's bytes, and the repair-blocks bytes of them.
inline std::vector<RepairManifest::Segment> SegmentsOf(const std::string &bytes, std::string &blocks)
{
    std::vector<RepairManifest::Segment> segments;
    for (size_t start = 0; start < bytes.size(); start += kSegmentSize)
    {
        const std::string segment = bytes.substr(start, kSegmentSize);
        std::string digests;
        for (size_t at = 0; at < segment.size(); at += kRepairBlockSize)
        {
            const Sha256Digest digest = Digest(segment.substr(at, kRepairBlockSize));
            digests.append(reinterpret_cast<const char *>(digest.data()), digest.size());
        }
        blocks += digests;
        segments.push_back({Digest(segment), Digest(digests)});
    }
    return segments;
}

// Files by manifest name ('/'), in any order; blocks receives repair-blocks.
inline RepairManifest ManifestOf(std::vector<std::pair<std::string, std::string>> files, uint64_t serial = 1,
                                 std::string *blocks = nullptr)
{
    std::sort(files.begin(), files.end());
    RepairManifest manifest;
    manifest.SetSerial(serial);
    std::string allBlocks;
    for (const auto &[name, bytes] : files)
    {
        std::string problem;
        if (!manifest.AddFile(name, bytes.size(), SegmentsOf(bytes, allBlocks), problem))
            ADD_FAILURE() << problem;
    }
    if (blocks)
        *blocks = allBlocks;
    return manifest;
}
} // namespace manifestfixtures
