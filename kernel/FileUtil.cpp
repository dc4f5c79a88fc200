// The portable half of the file utilities: path texts.
#include "kernel/FileUtil.h"

#include <cstdarg>
#include <cstdio>
#include <cwchar>

#include "kernel/TextConvert.h"

namespace
{
bool IsSeparator(wchar_t c)
{
    return c == L'/' || c == L'\\';
}

bool IsDriveName(const std::wstring &component)
{
    return component.size() >= 2 && component[1] == L':' &&
           ((component[0] >= L'A' && component[0] <= L'Z') || (component[0] >= L'a' && component[0] <= L'z'));
}

size_t LastComponentStart(const std::wstring &path)
{
    const size_t separator = path.find_last_of(L"/\\");
    return separator == std::wstring::npos ? 0 : separator + 1;
}
} // namespace

bool IsWithinUntrustedNameBounds(const std::wstring &name)
{
    size_t units = 0;
    size_t depth = 0;
    bool inComponent = false;
    for (wchar_t c : name)
    {
        // A character beyond the basic plane takes two UTF-16 units.
        units += static_cast<uint32_t>(c) > 0xFFFF ? 2 : 1;
        if (units > kMaxUntrustedNameUnits)
            return false;
        if (IsSeparator(c))
        {
            inComponent = false;
        }
        else if (!inComponent)
        {
            inComponent = true;
            if (++depth > kMaxUntrustedNameDepth)
                return false;
        }
    }
    return true;
}

bool IsContainedRelativeName(const std::wstring &name)
{
    if (name.empty() || name.find(L'\0') != std::wstring::npos)
        return false;
    std::wstring path = name;
    NormalizeSeparators(path);
    if (path.front() == L'/' || IsDriveName(path))
        return false;
    size_t start = 0;
    while (start <= path.size())
    {
        size_t end = path.find(L'/', start);
        if (end == std::wstring::npos)
            end = path.size();
        if (path.compare(start, end - start, L"..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

void NormalizeSeparators(std::wstring &path, wchar_t separator)
{
    for (wchar_t &c : path)
    {
        if (IsSeparator(c))
            c = separator;
    }
}

std::wstring JoinPath(const std::wstring &first, const std::wstring &second)
{
    if (first.empty())
        return second;
    size_t start = 0;
    while (start < second.size() && IsSeparator(second[start]))
        ++start;
    std::wstring joined = first;
    if (!IsSeparator(joined.back()))
        joined += L'/';
    joined.append(second, start, std::wstring::npos);
    return joined;
}

std::wstring RelativePath(const std::wstring &path, const std::wstring &base)
{
    std::wstring normalPath = path;
    std::wstring normalBase = base;
    NormalizeSeparators(normalPath);
    NormalizeSeparators(normalBase);
    size_t i = 0;
    while (i < normalBase.size() && i < normalPath.size() && normalBase[i] == normalPath[i])
        ++i;
    if (i < normalPath.size() && normalPath[i] == kPathSeparator)
        ++i;
    return normalPath.substr(i);
}

std::string FileNamePart(const std::wstring &path)
{
    return PathToNative(path.substr(LastComponentStart(path)));
}

std::string StripExtension(const std::wstring &path)
{
    const size_t start = LastComponentStart(path);
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || dot < start)
        return PathToNative(path);
    return PathToNative(path.substr(0, dot));
}

std::string GetExtension(const std::wstring &path)
{
    const size_t start = LastComponentStart(path);
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || dot < start)
        return std::string();
    return PathToNative(path.substr(dot + 1));
}

std::string SanitizeFileName(const std::string &text)
{
    std::string out = text;
    for (size_t i = 0; i < out.size(); ++i)
    {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        const bool kept = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_' || (c == '.' && i != 0);
        if (!kept)
            out[i] = '_';
    }
    return out;
}

bool SplitAtFirst(const std::string &text, const std::string &separator, std::string &before, std::string &after,
                  std::string &whole)
{
    const std::string source = text;
    const size_t at = source.find(separator);
    // The text that carries the rest is written last, so a caller may pass one variable as
    // whole and as before or after.
    if (at == std::string::npos)
    {
        before.clear();
        after.clear();
        whole = source;
        return false;
    }
    whole.clear();
    before = source.substr(0, at);
    after = source.substr(at + separator.size());
    return true;
}

std::string FormatText(const char *format, ...)
{
    char buffer[4096];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

std::wstring FormatTextW(const wchar_t *format, ...)
{
    wchar_t buffer[4096];
    va_list args;
    va_start(args, format);
    const int written = vswprintf(buffer, 4096, format, args);
    va_end(args);
    if (written < 0)
        buffer[4095] = 0;
    return buffer;
}
