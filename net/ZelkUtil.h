// The framed compressed block: uint32 compressed length, uint32 expanded length (little-endian),
// then a zlib stream of the expanded bytes.
#pragma once

#include <cstdint>

#include "kernel/ZelkTypes.h"
#include "net/ZelkDataBuffer.h"

namespace ZelkUtil
{
// The largest block either side accepts. Lengths arrive from files and from the network, and a
// block is held twice in memory, so a claim beyond this is treated as damage, not allocated.
constexpr uint32_t kMaxExpandedBlock = 1u << 30;

// Compresses everything from the source's position to its end into one block written at the
// destination's position. ZELKRESULT_NO_MEMORY when zlib fails or the data exceeds
// kMaxExpandedBlock.
ZELKRESULT CompressData(ZelkDataBuffer &destination, ZelkDataBuffer &source);
// Reads one block at the source's position and writes the expanded bytes at the destination's
// position. Lengths that no valid block can have are ZELKRESULT_BAD_FORMAT, refused before
// anything is allocated; a compressed length beyond the end of a source of known size is
// ZELKRESULT_END_OF_DATA. From a source of unknown size (a connection) the compressed bytes are
// taken as they arrive, so memory follows what was received, not what the header claims.
ZELKRESULT DecompressData(ZelkDataBuffer &destination, ZelkDataBuffer &source);
} // namespace ZelkUtil
