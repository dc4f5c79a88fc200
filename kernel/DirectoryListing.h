// A directory's entries with what one look at each tells: its kind, size and modification time.
// For walks over large trees, where a separate query per entry and property would cost more than
// the walk itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kernel/ZelkTypes.h"

struct DirectoryEntry
{
    std::wstring name;         // the entry's own name, no directory
    bool known = false;        // false when the entry could not be looked at (it vanished, no rights)
    bool isDirectory = false;  // also for a link to a directory
    bool isLink = false;       // a symbolic link; kind, size and time are those of its target
    uint64_t size = 0;
    int64_t modifiedTime = 0;  // seconds since 1970-01-01 UTC
};

// Every entry but "." and "..", sorted by name. ZELKRESULT_LIST_FAILED when the directory cannot
// be read.
ZELKRESULT ListDirectoryEntries(const std::wstring &directory, std::vector<DirectoryEntry> &entries);
