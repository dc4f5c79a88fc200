#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "kernel/TextConvert.h"

namespace
{
struct SpecialPair
{
    wchar_t wide;
    unsigned char narrow;
};

const SpecialPair kSpecials[] = {
    {L'\u00AB', 0xAB}, {L'\u00B0', 0xB0}, {L'\u00BB', 0xBB}, {L'\u2013', 0x96}, {L'\u2018', 0x91},
    {L'\u2019', 0x92}, {L'\u201C', 0x93}, {L'\u201D', 0x94}, {L'\u2026', 0x85},
};
} // namespace

TEST(TextConvert, SpecialCharactersMapBothWays)
{
    for (const SpecialPair &pair : kSpecials)
    {
        SCOPED_TRACE(static_cast<int>(pair.narrow));
        EXPECT_EQ(WideToNarrow(std::wstring(1, pair.wide)), std::string(1, static_cast<char>(pair.narrow)));
        EXPECT_EQ(NarrowToWide(std::string(1, static_cast<char>(pair.narrow))), std::wstring(1, pair.wide));
    }
}

TEST(TextConvert, KeepsControlsAndAsciiAndQuestionsTheRest)
{
    EXPECT_EQ(WideToNarrow(L"a\tb\nc\rd ~\x7f"), "a\tb\nc\rd ~\x7f");
    EXPECT_EQ(WideToNarrow(L"\x01\u00E9\u4E2D\u00AC"), "????");
}

TEST(TextConvert, HighBytesWidenToFullwidthBlock)
{
    for (int byte = 128; byte < 256; ++byte)
    {
        bool special = false;
        for (const SpecialPair &pair : kSpecials)
            special = special || pair.narrow == byte;
        if (special)
            continue;
        EXPECT_EQ(NarrowToWide(std::string(1, static_cast<char>(byte))), std::wstring(1, static_cast<wchar_t>(0xFF00 + byte)));
    }
    EXPECT_EQ(NarrowToWide("plain 7-bit"), L"plain 7-bit");
}

TEST(TextConvert, NativePathsRoundTripThroughUtf8)
{
    const std::wstring name = L"/tmp/Sch\u00F6ne \u0424\u0430\u0439\u043B \U0001F600.txt";
    EXPECT_EQ(PathToNative(name), "/tmp/Sch\xC3\xB6ne \xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB \xF0\x9F\x98\x80.txt");
    EXPECT_EQ(NativeToPath(PathToNative(name)), name);
}

// Only well-formed UTF-8 decodes to characters; every other byte is U+FFFD, so that what is read is
// written back as the same bytes.
TEST(TextConvert, NativePathsReadOnlyWellFormedUtf8)
{
    const std::wstring bad(1, L'\uFFFD');
    const struct
    {
        const char *bytes;
        std::wstring text;
    } cases[] = {
        {"\xED\x9F\xBF", L"\uD7FF"},
        {"\xEE\x80\x80", L"\uE000"},
        {"\xEF\xBB\xBF", L"\uFEFF"},
        {"\xF4\x8F\xBF\xBF", L"\U0010FFFF"},
        {"\xED\xA0\x80", bad + bad + bad},
        {"\xED\xBB\xBF", bad + bad + bad},
        {"\xF4\x90\x80\x80", bad + bad + bad + bad},
        {"\xF7\xBF\xBF\xBF", bad + bad + bad + bad},
        {"\xC0\xAF", bad + bad},
        {"\xE0\x80\xAF", bad + bad + bad},
        {"\xF0\x8F\xBF\xBF", bad + bad + bad + bad},
        {"a\xE2\x82", L"a" + bad + bad},
        {"\x80\xFFz", bad + bad + L"z"},
    };
    for (const auto &test : cases)
    {
        SCOPED_TRACE(testing::PrintToString(std::string(test.bytes)));
        EXPECT_EQ(NativeToPath(test.bytes), test.text);
        EXPECT_EQ(NativeToPath(PathToNative(test.text)), test.text);
        EXPECT_TRUE(IsScalarText(test.text));
    }
    EXPECT_FALSE(IsScalarText(std::wstring(L"a") + wchar_t(0xDFFF)));
    EXPECT_FALSE(IsScalarText(std::wstring(1, wchar_t(0x110000))));
    EXPECT_EQ(PathToNative(std::wstring(L"a") + wchar_t(0xD800)), "a\xEF\xBF\xBD");
}

TEST(TextConvert, Utf16LittleEndianRoundTrip)
{
    const std::wstring text = L".\\data\\\u00E4\U0001F600";
    const std::string bytes = EncodeUtf16LE(text);
    ASSERT_EQ(bytes.size(), 2u * 10u);
    EXPECT_EQ(bytes.substr(0, 2), std::string(".\0", 2));
    EXPECT_EQ(DecodeUtf16LE(bytes.data(), bytes.size() / 2), text);
}

TEST(TextConvert, DecimalsAreDigitsOnlyWithinSixtyFourBits)
{
    const std::pair<const char *, uint64_t> numbers[] = {
        {"0", 0}, {"20240101", 20240101}, {"18446744073709551615", UINT64_MAX}};
    for (const auto &[text, expected] : numbers)
    {
        uint64_t value = 7;
        EXPECT_TRUE(ParseDecimal(text, value)) << text;
        EXPECT_EQ(value, expected);
    }
    for (const char *text : {"", "18446744073709551616", "+1", "-1", " 1", "1 ", "0x1", "1.0", "1e3"})
    {
        uint64_t value = 7;
        EXPECT_FALSE(ParseDecimal(text, value)) << text;
        EXPECT_EQ(value, 7u) << text;
    }
}
