// One framed compressed block, read from a source that knows its size (a file, a memory block) or
// from one that does not (a connection). The input's first byte chooses which.
#include <cstring>

#include "FuzzSupport.h"
#include "net/ZelkDataBuffer.h"
#include "net/ZelkUtil.h"

namespace
{
// A stream that, like a connection, cannot tell how much is still to come.
class UnsizedSource : public ZelkDataBufferMemoryStatic
{
public:
    using ZelkDataBufferMemoryStatic::ZelkDataBufferMemoryStatic;
    uint64_t GetSize() override { return 0; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const bool sized = data[0] & 1;
    ZelkDataBufferMemoryStatic sizedSource(data + 1, static_cast<uint32_t>(size - 1));
    UnsizedSource unsizedSource(data + 1, static_cast<uint32_t>(size - 1));
    ZelkDataBuffer &source = sized ? static_cast<ZelkDataBuffer &>(sizedSource) : unsizedSource;
    ZelkDataBufferMemoryDynamic expanded;
    if (ZelkUtil::DecompressData(expanded, source) != ZELKRESULT_OK)
        return 0;
    uint32_t claimed = 0;
    std::memcpy(&claimed, data + 1 + 4, sizeof claimed);
    fuzz::Check(expanded.GetSize() == claimed, "the block expanded to another length than it names");
    return 0;
}
