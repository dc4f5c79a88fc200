// A JojoDiff difference applied to an old file. The input's first byte sizes the old file (taken
// from the input's start), the rest is the difference.
#include <cstdio>
#include <string>

#include "FuzzSupport.h"
#include "publish/JojoDiff.h"

namespace
{
// fmemopen refuses an empty block; an empty file stands in for it.
std::FILE *OpenBytes(const uint8_t *data, size_t size)
{
    if (size == 0)
        return std::fopen("/dev/null", "rb");
    return fmemopen(const_cast<uint8_t *>(data), size, "rb");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t oldSize = std::min<size_t>(data[0] * 4u, size - 1);
    std::FILE *oldFile = OpenBytes(data + 1, oldSize);
    std::FILE *diff = OpenBytes(data + 1 + oldSize, size - 1 - oldSize);
    std::FILE *out = std::fopen("/dev/null", "wb");
    fuzz::Check(oldFile && diff && out, "cannot open the memory files");
    std::string problem;
    const ZELKRESULT result = ApplyJojoDiff(oldFile, diff, out, problem);
    fuzz::Check(result == ZELKRESULT_OK || !problem.empty(), "a failure without its reason");
    std::fclose(oldFile);
    std::fclose(diff);
    std::fclose(out);
    return 0;
}
