#include "kernel/TextConvert.h"

#include <charconv>

#include "kernel/ByteOrder.h"

namespace
{
struct SpecialCharacter
{
    wchar_t wide;
    unsigned char narrow;
};

constexpr SpecialCharacter kSpecialCharacters[] = {
    {L'\u00AB', 0xAB}, {L'\u00B0', 0xB0}, {L'\u00BB', 0xBB}, {L'\u2013', 0x96}, {L'\u2018', 0x91},
    {L'\u2019', 0x92}, {L'\u201C', 0x93}, {L'\u201D', 0x94}, {L'\u2026', 0x85},
};

void AppendUtf8(std::string &out, char32_t c)
{
    if (c < 0x80)
    {
        out += static_cast<char>(c);
    }
    else if (c < 0x800)
    {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    else if (c < 0x10000)
    {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool IsScalar(char32_t code)
{
    return code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
}
} // namespace

std::string WideToNarrow(const std::wstring &text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text)
    {
        if (c == L'\t' || c == L'\n' || c == L'\r' || (c >= 32 && c <= 127))
        {
            out += static_cast<char>(c);
            continue;
        }
        char mapped = '?';
        for (const SpecialCharacter &special : kSpecialCharacters)
        {
            if (special.wide == c)
                mapped = static_cast<char>(special.narrow);
        }
        out += mapped;
    }
    return out;
}

std::wstring NarrowToWide(const std::string &text)
{
    std::wstring out;
    out.reserve(text.size());
    for (char ch : text)
    {
        const unsigned char byte = static_cast<unsigned char>(ch);
        if (byte < 128)
        {
            out += static_cast<wchar_t>(byte);
            continue;
        }
        wchar_t mapped = static_cast<wchar_t>(0xFF00 + byte);
        for (const SpecialCharacter &special : kSpecialCharacters)
        {
            if (special.narrow == byte)
                mapped = special.wide;
        }
        out += mapped;
    }
    return out;
}

std::string PathToNative(const std::wstring &path)
{
    std::string out;
    out.reserve(path.size());
    for (wchar_t c : path)
    {
        const char32_t code = static_cast<char32_t>(c);
        AppendUtf8(out, IsScalar(code) ? code : 0xFFFD);
    }
    return out;
}

bool IsScalarText(const std::wstring &text)
{
    for (wchar_t c : text)
    {
        if (!IsScalar(static_cast<char32_t>(c)))
            return false;
    }
    return true;
}

std::wstring NativeToPath(const std::string &path)
{
    std::wstring out;
    out.reserve(path.size());
    size_t i = 0;
    while (i < path.size())
    {
        const unsigned char lead = static_cast<unsigned char>(path[i]);
        int extra = 0;
        char32_t code = 0;
        if (lead < 0x80)
            code = lead;
        else if ((lead & 0xE0) == 0xC0)
            extra = 1, code = lead & 0x1F;
        else if ((lead & 0xF0) == 0xE0)
            extra = 2, code = lead & 0x0F;
        else if ((lead & 0xF8) == 0xF0)
            extra = 3, code = lead & 0x07;
        else
        {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        bool valid = true;
        for (int k = 1; k <= extra; ++k)
        {
            if (i + k >= path.size() || (static_cast<unsigned char>(path[i + k]) & 0xC0) != 0x80)
            {
                valid = false;
                break;
            }
            code = (code << 6) | (static_cast<unsigned char>(path[i + k]) & 0x3F);
        }
        // Only the shortest form of a Unicode scalar value is a character: an overlong form, an
        // encoded surrogate or a code beyond U+10FFFF is no text PathToNative could write back,
        // so it decodes like any other stray byte.
        constexpr char32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
        if (!valid || code < kShortest[extra] || !IsScalar(code))
        {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(code);
        i += extra + 1;
    }
    return out;
}

std::string EncodeUtf16LE(const std::wstring &text)
{
    std::string out;
    out.reserve(text.size() * 2);
    auto put = [&out](char16_t unit) { LittleEndian::Append16(out, unit); };
    for (wchar_t c : text)
    {
        char32_t code = static_cast<char32_t>(c);
        if (code >= 0x10000 && code <= 0x10FFFF)
        {
            code -= 0x10000;
            put(static_cast<char16_t>(0xD800 + (code >> 10)));
            put(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        }
        else
        {
            put(static_cast<char16_t>(code > 0x10FFFF ? 0xFFFD : code));
        }
    }
    return out;
}

std::wstring DecodeUtf16LE(const char *bytes, size_t count)
{
    std::wstring out;
    out.reserve(count);
    auto unit = [bytes](size_t i) { return static_cast<char16_t>(LittleEndian::Read16(bytes + 2 * i)); };
    for (size_t i = 0; i < count; ++i)
    {
        const char16_t u = unit(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < count)
        {
            const char16_t low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF)
            {
                out += static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                ++i;
                continue;
            }
        }
        out += (u >= 0xD800 && u <= 0xDFFF) ? L'\uFFFD' : static_cast<wchar_t>(u);
    }
    return out;
}

bool ParseDecimal(std::string_view text, uint64_t &value)
{
    uint64_t parsed = 0;
    const char *end = text.data() + text.size();
    const std::from_chars_result result = std::from_chars(text.data(), end, parsed);
    if (text.empty() || result.ec != std::errc() || result.ptr != end)
        return false;
    value = parsed;
    return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (size_t i = 0; i < prefix.size(); ++i)
    {
        if (lower(text[i]) != lower(prefix[i]))
            return false;
    }
    return true;
}
