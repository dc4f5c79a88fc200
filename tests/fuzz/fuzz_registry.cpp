// The registry file as another editor may have left it: every key and the values the file names
// are read, one value is written, and everything is read again. What was readable before reads the
// same afterwards, and the written value reads back as it was written.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "FuzzSupport.h"
#include "kernel/Registry.h"
#include "kernel/TextConvert.h"

namespace
{
constexpr size_t kMaxKeys = 24;
constexpr size_t kMaxDepth = 8;
constexpr size_t kMaxNames = 12;

struct Value
{
    bool isString = false;
    std::wstring text;
    bool isDword = false;
    uint32_t dword = 0;
    bool operator==(const Value &other) const
    {
        return std::tie(isString, text, isDword, dword) ==
               std::tie(other.isString, other.text, other.isDword, other.dword);
    }
};

using Snapshot = std::map<std::wstring, std::map<std::wstring, Value>>;

void WalkKeys(const std::wstring &path, size_t depth, std::vector<std::wstring> &keys)
{
    const auto key = RegistryKey::Open(path, false);
    if (!key)
        return;
    keys.push_back(path);
    std::wstring name;
    for (uint32_t index = 0; depth < kMaxDepth && keys.size() < kMaxKeys && key->EnumSubKey(index, name); ++index)
        WalkKeys(path.empty() ? name : path + L"\\" + name, depth + 1, keys);
}

// Every quoted text of the input may be a value name; the unnamed value always is.
std::set<std::wstring> CandidateNames(const std::string &text)
{
    std::set<std::wstring> names = {L""};
    size_t start = text.find('"');
    while (start != std::string::npos && names.size() < kMaxNames)
    {
        const size_t end = text.find('"', start + 1);
        if (end == std::string::npos)
            break;
        names.insert(NativeToPath(text.substr(start + 1, end - start - 1)));
        start = text.find('"', end + 1);
    }
    return names;
}

Snapshot Read(const std::vector<std::wstring> &keys, const std::set<std::wstring> &names)
{
    Snapshot snapshot;
    for (const std::wstring &path : keys)
    {
        const auto key = RegistryKey::Open(path, false);
        if (!key)
            continue;
        auto &values = snapshot[path];
        for (const std::wstring &name : names)
        {
            Value value;
            value.isString = key->QueryString(name, value.text);
            value.isDword = key->QueryDword(name, value.dword);
            values[name] = value;
        }
    }
    return snapshot;
}

bool SameNameIgnoringCase(const std::wstring &a, const std::wstring &b)
{
    auto lower = [](wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; };
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzz::Workspace workspace("registry");
    const fuzz::fs::path run = workspace.Fresh();
    const fuzz::fs::path file = run / "registry.reg";
    setenv("PELMO_REGISTRY", file.c_str(), 1);
    const std::string input(reinterpret_cast<const char *>(data), size);
    fuzz::WriteBytes(file, data, size);

    std::vector<std::wstring> keys;
    WalkKeys(L"", 0, keys);
    const std::set<std::wstring> names = CandidateNames(input);
    const Snapshot before = Read(keys, names);

    // The value goes into one of the keys the file has (or a new one), and its text comes from
    // the input's end: any character, a backslash, a quote or a line break.
    const std::wstring target = keys.size() > 1 ? keys[1 + (size ? data[0] : 0) % (keys.size() - 1)] : L"SOFTWARE\\Pelmo";
    const std::wstring valueName = L"FuzzWritten";
    const std::string tail = input.substr(input.size() - std::min<size_t>(input.size(), 24));
    // A stored text ends at its first NUL, as it does for the system's own registry.
    std::wstring text = NativeToPath(tail);
    text.erase(std::remove(text.begin(), text.end(), L'\0'), text.end());
    fuzz::Check(RegistryKey::CreateKey(target), "cannot create the key");
    auto key = RegistryKey::Open(target, true);
    fuzz::Check(key != nullptr, "cannot open the key for write");
    fuzz::Check(key->SetString(valueName, text), "the write failed");

    std::wstring readBack;
    fuzz::Check(RegistryKey::Open(target, false) && RegistryKey::Open(target, false)->QueryString(valueName, readBack),
                "the written value cannot be read");
    fuzz::Check(readBack == text, "the written value reads otherwise");

    const Snapshot after = Read(keys, names);
    for (const auto &[path, values] : before)
    {
        for (const auto &[name, value] : values)
        {
            if (path == target && SameNameIgnoringCase(name, valueName))
                continue;
            const auto &now = after.at(path).at(name);
            fuzz::Check(now == value, "a value changed by writing another:", PathToNative(path + L" : " + name));
        }
    }
    return 0;
}
