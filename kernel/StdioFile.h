// The few stdio operations that the C library leaves to the platform: opening by wide path,
// 64-bit positioning, truncation and writing through to the disk.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Opens path (separators normalised, converted to UTF-8) with an fopen mode such as "rb" or
// "r+b". The stream is not inherited by child processes. Null on failure and for a directory.
FILE *OpenStdioFile(const std::wstring &path, const char *mode);
// Positions the stream at an absolute 64-bit offset; false when the offset is out of range.
bool SeekStdioFile(FILE *file, uint64_t offset);
// Positions the stream at its end and gives the 64-bit offset there.
bool SeekStdioFileEnd(FILE *file, uint64_t &offset);
// Flushes pending output, then sets the file length (growth reads as zero bytes).
bool TruncateStdioFile(FILE *file, uint64_t size);
// Flushes pending output and waits until the data has reached the disk.
bool SyncStdioFile(FILE *file);
