#include "kernel/UserText.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>

namespace
{
std::atomic<UserTextLookup> g_lookup{nullptr};
} // namespace

void InstallUserTextLookup(UserTextLookup lookup)
{
    g_lookup.store(lookup);
}

std::wstring UserText(unsigned id)
{
    const UserTextLookup lookup = g_lookup.load();
    return lookup != nullptr ? lookup(id) : std::wstring();
}

std::wstring FormatUserText(unsigned id, ...)
{
    va_list args;
    va_start(args, id);
    std::wstring text = FormatUserTextV(UserText(id), args);
    va_end(args);
    return text;
}

std::wstring FormatUserTextV(const std::wstring &text, va_list args)
{
    // glibc's wide printf calls a wide "%s" "%ls".
    std::wstring format;
    for (size_t i = 0; i < text.size(); ++i)
    {
        format += text[i];
        if (text[i] != L'%' || i + 1 >= text.size())
            continue;
        if (text[i + 1] == L'%')
            format += text[++i];
        else if (text[i + 1] == L's')
            format += L'l';
    }
    constexpr size_t kFormattedCapacity = 4096;
    wchar_t buffer[kFormattedCapacity] = {};
    const int written = vswprintf(buffer, kFormattedCapacity, format.c_str(), args);
    // vswprintf fails instead of cutting a text that does not fit; keep what was written.
    if (written < 0)
        buffer[kFormattedCapacity - 1] = 0;
    return buffer;
}
