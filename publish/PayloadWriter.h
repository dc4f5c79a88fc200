// Builds a standalone patcher: a patcher executable with a patch payload appended, in the layout
// that PatchPayload reads.
#pragma once

#include <string>
#include <vector>

class PublisherSigningKey;

struct PayloadBuild
{
    std::string hash;    // at most 131 characters
    std::string version; // at most 31 characters
};

struct PayloadStep
{
    std::string sourceVersion;
    std::string targetVersion;
    std::wstring archivePath; // the step's package archive, stored byte for byte
};

struct PayloadContents
{
    std::string targetVersion;
    std::vector<PayloadBuild> builds;
    std::vector<PayloadStep> steps;
    // Each key adds a signature over header, step data and tables; none: an unsigned payload.
    std::vector<const PublisherSigningKey *> signers;
};

// Writes the patcher's bytes, zero filler to the next 4,096-byte boundary, the header, the step
// archives in order, the build table, the step table and, when there are signers, the signature
// trailer. The output keeps the patcher's permission bits and replaces an existing file only once
// it is complete. Steps that lead back to a version they already reached are refused, as a patcher
// would refuse them. On failure returns false with a one-line reason in error, and leaves no output
// behind.
bool WritePayload(const std::wstring &patcherPath, const std::wstring &outputPath, const PayloadContents &contents,
                  std::string &error);
