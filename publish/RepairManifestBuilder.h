// Makes the repair manifest of a reference tree, for repairs from any web server or CDN (the
// layout and the format are in repair/RepairManifest.h): the tree is walked as a repair server
// walks its reference, every file read once for the SHA-256 of its segments and its 64 KiB blocks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class PublisherSigningKey;

struct RepairManifestContents
{
    // Raised with every manifest: a patcher with a key refuses one older than the newest it took.
    uint64_t serial = 0;
    // Each key adds a line to repair-manifest.sig; none: no signature file (an old one is removed).
    std::vector<const PublisherSigningKey *> signers;
};

struct RepairManifestReport
{
    size_t files = 0;
    uint64_t segments = 0;
    uint64_t bytes = 0; // of the tree's files
};

// Writes OUT/repair-manifest and OUT/repair-blocks (OUT made when missing; each file replacing an
// older one whole) for the files below root, and OUT/repair-manifest.sig when there are signers.
// Directories reached through a link are not walked, only regular files are listed, and the files
// that belong to an installation (IsInstallationOwn) and out itself, when it lies inside root, are
// left out. False
// with a one-line reason when a file cannot be read or listed as it is.
bool WriteRepairManifest(const std::wstring &root, const std::wstring &out, const RepairManifestContents &contents,
                         RepairManifestReport &report, std::string &error);
