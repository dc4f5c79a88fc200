#include <gtest/gtest.h>

#include <string>

#include "patch/CurlTransfer.h"

namespace
{
struct RangeCase
{
    const char *value;
    bool satisfied;
    uint64_t first;
    uint64_t last;
    bool totalKnown;
    uint64_t total;
};

// A download continues a file and a repair takes a part of one by what this reads: a range it
// misreads would join the wrong bytes on.
const RangeCase kRanges[] = {
    {"bytes 0-9/10", true, 0, 9, true, 10},
    {"  bytes 4294967296-4294967305/8589934592", true, 4294967296ull, 4294967305ull, true, 8589934592ull},
    {"bytes 5-9/*", true, 5, 9, false, 0},
    {"bytes */300", false, 0, 0, true, 300},
};
const char *const kRefused[] = {
    "bytes */*", "bytes 5-/10", "bytes -9/10", "bytes 5-9", "bytes 5x-9/10", "bytes 18446744073709551616-1/2",
    "items 0-9/10", "",
};
} // namespace

TEST(CurlTransfer, ReadsContentRangesAndRefusesTheRest)
{
    for (const RangeCase &c : kRanges)
    {
        SCOPED_TRACE(c.value);
        ContentRange range;
        ASSERT_TRUE(ParseContentRange(c.value, range));
        EXPECT_EQ(range.satisfied, c.satisfied);
        EXPECT_EQ(range.first, c.first);
        EXPECT_EQ(range.last, c.last);
        EXPECT_EQ(range.totalKnown, c.totalKnown);
        EXPECT_EQ(range.total, c.total);
    }
    for (const char *value : kRefused)
    {
        ContentRange range;
        EXPECT_FALSE(ParseContentRange(value, range)) << value;
    }
}

TEST(CurlTransfer, HeaderValuesAreTakenByNameInAnyCase)
{
    std::string value = "kept";
    EXPECT_FALSE(HeaderValue("ETag: \"v1\"\r\n", "content-range:", value));
    EXPECT_EQ(value, "kept");
    EXPECT_TRUE(HeaderValue("Content-Range:  bytes 0-9/10 \r\n", "content-range:", value));
    EXPECT_EQ(value, "bytes 0-9/10");
    EXPECT_TRUE(HeaderValue("ETAG:\r\n", "etag:", value));
    EXPECT_EQ(value, "");
}
