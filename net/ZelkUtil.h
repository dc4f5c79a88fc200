// The framed compressed block: uint32 compressed length, uint32 expanded length (little-endian),
// then a zlib stream of the expanded bytes.
#pragma once

#include <cstdint>

#include "kernel/ZelkTypes.h"
#include "net/ZelkDataBuffer.h"

namespace ZelkUtil
{
// Both lengths of the frame are 32-bit: no block, compressed or expanded, is longer.
constexpr uint64_t kMaxBlockLength = 0xFFFFFFFFull;

// Compresses everything from the source's position to its end into one block written at the
// destination's position. The data passes through in pieces, so memory does not grow with the
// block; since the compressed length leads the block and is known only at its end, the
// destination must be able to seek back to it. ZELKRESULT_NO_MEMORY when zlib fails or the data
// or its compressed form is longer than kMaxBlockLength. After a failure the destination holds no
// part of the block (it is cut back to where the block began, when the block was its end).
ZELKRESULT CompressData(ZelkDataBuffer &destination, ZelkDataBuffer &source);
// Reads one block at the source's position and writes the expanded bytes at the destination's
// position, in pieces: memory does not grow with the block. Lengths that no valid block can have,
// and an expanded length above maxExpanded (the most the caller takes), are ZELKRESULT_BAD_FORMAT,
// refused before anything is read or written; a compressed length beyond the end of a source of
// known size is ZELKRESULT_END_OF_DATA. A stream that ends before the expanded length is
// ZELKRESULT_END_OF_DATA, one that runs past it or is damaged ZELKRESULT_NO_MEMORY (zlib's
// failure), and after any failure the destination holds none of the block (as above).
ZELKRESULT DecompressData(ZelkDataBuffer &destination, ZelkDataBuffer &source,
                          uint64_t maxExpanded = kMaxBlockLength);
} // namespace ZelkUtil
