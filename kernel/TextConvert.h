// Conversions between the program's wide text and the 8-bit texts of files, versions and formats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Keeps tab, LF, CR and 32..127; maps the nine special characters to their 8-bit values and
// turns every other character into '?'.
std::string WideToNarrow(const std::wstring &text);
// The inverse table: bytes below 128 unchanged, the nine special bytes to their characters and
// every other byte of 128 and above to U+FF00 plus the byte.
std::wstring NarrowToWide(const std::string &text);

// Paths handed to the operating system are UTF-8; never narrowed with WideToNarrow, which would
// make every name outside ASCII unreachable. Both directions keep to Unicode scalar values: a
// surrogate or a code beyond U+10FFFF is written as U+FFFD, and each byte that does not belong to
// well-formed UTF-8 (overlong forms and encoded surrogates too) is read as U+FFFD, so that what is
// read is always written back as the same bytes.
std::string PathToNative(const std::wstring &path);
std::wstring NativeToPath(const std::string &path);
// Whether every character of text is a Unicode scalar value, which PathToNative keeps as it is.
bool IsScalarText(const std::wstring &text);

// UTF-16LE at the boundary of formats that store it (archive names, summary names).
std::string EncodeUtf16LE(const std::wstring &text);
// Decodes count code units from bytes (2 * count bytes); unpaired surrogates become U+FFFD.
std::wstring DecodeUtf16LE(const char *bytes, size_t count);

// The whole of text as a decimal number within 64 bits: digits only, no sign and no spaces. value
// is left as it was when text is not that.
bool ParseDecimal(std::string_view text, uint64_t &value);

// Whether text begins with prefix, ASCII letters compared without their case (header names,
// schemes and host names are ASCII).
bool StartsWithNoCase(std::string_view text, std::string_view prefix);
