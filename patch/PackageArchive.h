// Package archives: a version word followed by records, each a framed compressed block holding a
// UTF-16LE name, and for a file a second block with its whole content. Names use "\" and are
// relative to the directory the archive is unpacked into.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kernel/ZelkTypes.h"

class ZelkDataBufferFile;

constexpr uint32_t kPackageArchiveVersion = 1;

// The archive's own rule: a name denotes a directory when its last component has no "." (an
// extension marks a file). Takes either separator.
bool ArchiveNameDenotesDirectory(const std::wstring &name);

// Unpacks every record into destination. Directory records create their directory; file records
// are expanded into their file piece by piece, so memory does not follow the size of a file (up to
// the 4 GiB - 1 bytes a block can hold). False at the first damaged record, the first name that
// would leave the destination, or the first file that cannot be written; what was unpacked before
// stays, and the file that failed is removed.
bool UnpackPackageArchive(const std::wstring &archive, const std::wstring &destination);

// Writes an archive record by record, for the package builder. Directory records must come before
// the records of their contents, since unpacking creates directories only for directory records.
class PackageArchiveWriter
{
public:
    // Creates or truncates the archive and writes the version word; test IsOpen afterwards.
    explicit PackageArchiveWriter(const std::wstring &archive);
    ~PackageArchiveWriter();
    PackageArchiveWriter(const PackageArchiveWriter &) = delete;
    PackageArchiveWriter &operator=(const PackageArchiveWriter &) = delete;

    bool IsOpen() const;
    // ZELKRESULT_INVALID_ARGUMENT for a name the archive cannot carry as such (outside the
    // destination, beyond the bounds of a name from outside, a directory name with an extension,
    // or a file name without one).
    ZELKRESULT AddDirectory(const std::wstring &name);
    // The content is read from path (a '/' path of this system) and compressed piece by piece;
    // ZELKRESULT_NO_MEMORY when it, or its compressed form, is longer than a block can hold.
    ZELKRESULT AddFile(const std::wstring &name, const std::wstring &path);
    // Closes the archive; only a successful close means every record is on the disk.
    ZELKRESULT Close();

private:
    ZELKRESULT WriteName(const std::wstring &name);

    std::unique_ptr<ZelkDataBufferFile> m_archive;
    ZELKRESULT m_result = ZELKRESULT_OK;
};
