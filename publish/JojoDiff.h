// The JojoDiff difference format: a streaming applier (the installation's patch tool) and a
// generator for publishers. A difference is a bare stream of operations, each introduced by the
// escape byte; the applier keeps one read position in the old file and writes the output in order.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "kernel/ZelkTypes.h"

namespace JojoDiff
{
constexpr uint8_t kEscape = 0xA7;
constexpr uint8_t kModify = 0xA6; // data bytes overwrite old bytes: the old position moves with them
constexpr uint8_t kInsert = 0xA5; // data bytes are added: the old position stays
constexpr uint8_t kDelete = 0xA4; // skip a length of old bytes
constexpr uint8_t kEqual = 0xA3;  // copy a length of old bytes
constexpr uint8_t kBacktrack = 0xA2; // move the old position back by a length

// Appends the shortest encoding of a length (1 and up) to text.
void AppendLength(std::string &text, uint64_t length);
} // namespace JojoDiff

// Applies diff to oldFile and writes the result to out, streaming: memory does not grow with the
// sizes of the files. oldFile must be seekable; diff is read from its current position to its end.
// Returns ZELKRESULT_OK, ZELKRESULT_BAD_FORMAT for a corrupt difference (a lone final escape byte,
// a length cut short, a copy past the end of the old file, a back-track before its start) or
// ZELKRESULT_IO when reading or writing fails; problem then says what went wrong and where.
// On failure out holds a partial result that the caller must discard.
ZELKRESULT ApplyJojoDiff(std::FILE *oldFile, std::FILE *diff, std::FILE *out, std::string &problem);
// Figures of one MakeJojoDiff call, for publishers' logs.
struct JojoDiffStatistics
{
    uint64_t oldSize = 0;
    uint64_t newSize = 0;
    uint64_t diffSize = 0;
    uint64_t copiedBytes = 0;  // new bytes taken from the old file
    uint64_t literalBytes = 0; // new bytes carried in the difference
};

// Writes a difference that turns the file at oldPath into the file at newPath. Every JojoDiff
// applier, old or new, reads it the same way: every data run has its opcode and no escape byte is
// ambiguous. The old file is held in memory while the difference is made, the new one is read
// through a window of 16 MiB. Returns ZELKRESULT_OK, ZELKRESULT_IO (problem says which file) or
// ZELKRESULT_NO_MEMORY; the difference is written to a temporary name beside diffPath and
// renamed into place only when complete.
ZELKRESULT MakeJojoDiff(const std::wstring &oldPath, const std::wstring &newPath, const std::wstring &diffPath,
                        std::string &problem, JojoDiffStatistics *statistics = nullptr);
