// Writes a patch list "patches.txt" for a publisher: one entry per step with its versions, the
// address of its package archive, and the archive's size and SHA-256, which a patcher with a
// publisher key requires; optionally a serial and a detached signature beside the list.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class PublisherSigningKey;

struct ListedStep
{
    std::string sourceVersion;
    std::string targetVersion;
    std::wstring archivePath; // read to give the entry its size and digest
    std::string address;      // the archive's address; empty: its file name, relative to the list
};

struct PatchListContents
{
    std::vector<ListedStep> steps;
    // "list-serial": patchers with a key refuse a signed list older than the newest they took.
    std::optional<uint64_t> serial;
    // "patch-exe-url" of every entry, which every patcher requires but download runs never use;
    // empty: each entry's data address.
    std::string exeUrl;
    // Each key adds a line to the list's ".sig" file; none: no signature file is written.
    std::vector<const PublisherSigningKey *> signers;
};

// The list's text. False with a one-line reason when a step cannot be listed as it is asked: an
// archive that cannot be read, a value the list reader would read differently, or two steps from
// the same version (the reader would keep only the later).
bool FormatPatchList(const PatchListContents &contents, std::string &text, std::string &error);
// Writes the list to outputPath and, when there are signers, its signature to outputPath + ".sig".
bool WritePatchList(const std::wstring &outputPath, const PatchListContents &contents, std::string &error);
