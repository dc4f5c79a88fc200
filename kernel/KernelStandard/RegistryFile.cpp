// The registry as a text file in the registry editor's export syntax:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Pelmo\Products\Korvil]
//   "Path"="/opt/korvil"
//   "IsPatching"=dword:00000000
//
// Lines this code does not understand (comments, other value types, other roots) are kept as
// they stand when the file is rewritten.
#include "kernel/Registry.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/KernelStandard/LockWaitPosix.h"
#include "kernel/TextConvert.h"

namespace
{
constexpr char kHeader[] = "Windows Registry Editor Version 5.00";
constexpr char kUtf8Mark[] = "\xEF\xBB\xBF";
constexpr char kUtf16Mark[] = "\xFF\xFE";
constexpr wchar_t kRootName[] = L"HKEY_LOCAL_MACHINE";
constexpr char kDefaultRegistryFile[] = "/var/lib/pelmo/registry.reg";
constexpr mode_t kLockFileMode = 0600;
// Far beyond any registry this program writes; a larger file is not read into memory.
constexpr uint64_t kMaxRegistryFileSize = 64ull << 20;
// Bytes of a hex value per line before the line is continued, as the editor writes them.
constexpr size_t kHexBytesPerLine = 25;

wchar_t LowerAscii(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool SameName(const std::wstring &a, const std::wstring &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

std::vector<std::wstring> SplitKeyPath(const std::wstring &path)
{
    std::vector<std::wstring> components;
    std::wstring current;
    for (wchar_t c : path)
    {
        if (c == L'\\')
        {
            if (!current.empty())
                components.push_back(current);
            current.clear();
        }
        else
        {
            current += c;
        }
    }
    if (!current.empty())
        components.push_back(current);
    return components;
}

enum class ValueKind
{
    None,
    String,
    Dword,
    Other,
};

// One line of a section, or a value continued over several lines; raw is what the file holds.
struct Entry
{
    std::string raw;
    ValueKind kind = ValueKind::None;
    std::wstring name;
    std::wstring text;
    uint32_t dword = 0;
};

struct Section
{
    std::string raw;
    // Below HKEY_LOCAL_MACHINE; sections of other roots never match a key.
    bool local = false;
    std::vector<std::wstring> components;
    std::vector<Entry> entries;
};

struct Document
{
    // The file began with a UTF-8 byte-order mark; it is written back with it.
    bool byteOrderMark = false;
    std::vector<std::string> preamble;
    std::vector<Section> sections;
};

bool ComponentsEqual(const std::vector<std::wstring> &a, const std::vector<std::wstring> &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (!SameName(a[i], b[i]))
            return false;
    }
    return true;
}

bool IsBelow(const std::vector<std::wstring> &path, const std::vector<std::wstring> &key)
{
    if (path.size() <= key.size())
        return false;
    for (size_t i = 0; i < key.size(); ++i)
    {
        if (!SameName(path[i], key[i]))
            return false;
    }
    return true;
}

// A line ending in a backslash goes on in the next one (long hex values), as the reader joins them.
bool IsContinued(const std::string &line)
{
    return !line.empty() && line.back() == '\\';
}

// Reads a quoted text with \\ and \" escapes starting at the quote; pos ends behind the closing
// quote.
bool ParseQuoted(const std::string &line, size_t &pos, std::string &text)
{
    if (pos >= line.size() || line[pos] != '"')
        return false;
    text.clear();
    for (++pos; pos < line.size(); ++pos)
    {
        const char c = line[pos];
        if (c == '"')
        {
            ++pos;
            return true;
        }
        if (c == '\\' && pos + 1 < line.size())
            ++pos;
        text += line[pos];
    }
    return false;
}

std::string Quote(const std::string &text)
{
    std::string quoted = "\"";
    for (char c : text)
    {
        if (c == '\\' || c == '"')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

bool ParseHexBytes(const std::string &data, std::string &bytes)
{
    bytes.clear();
    size_t pos = 0;
    while (pos < data.size())
    {
        const char c = data[pos];
        if (c == ',' || c == ' ' || c == '\t' || c == '\\' || c == '\n')
        {
            ++pos;
            continue;
        }
        char *end = nullptr;
        const std::string digits = data.substr(pos, 2);
        const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
        if (end != digits.c_str() + digits.size() || digits.size() != 2)
            return false;
        bytes += static_cast<char>(value);
        pos += 2;
    }
    return true;
}

// Fills the value fields of an entry from its raw text; an entry it cannot read stays Other.
void ParseValue(Entry &entry)
{
    std::string line = entry.raw;
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    size_t pos = 0;
    std::string name;
    if (line[0] == '@')
        pos = 1;
    else if (!ParseQuoted(line, pos, name))
        return;
    if (pos >= line.size() || line[pos] != '=')
        return;
    ++pos;
    entry.name = NativeToPath(name);
    entry.kind = ValueKind::Other;
    const std::string data = line.substr(pos);
    if (!data.empty() && data[0] == '"')
    {
        size_t at = 0;
        std::string text;
        if (ParseQuoted(data, at, text) && at == data.size())
        {
            entry.kind = ValueKind::String;
            entry.text = NativeToPath(text);
        }
        return;
    }
    if (data.compare(0, 6, "dword:") == 0)
    {
        const std::string digits = data.substr(6);
        char *end = nullptr;
        const unsigned long value = std::strtoul(digits.c_str(), &end, 16);
        if (!digits.empty() && digits.size() <= 8 && *end == 0)
        {
            entry.kind = ValueKind::Dword;
            entry.dword = static_cast<uint32_t>(value);
        }
        return;
    }
    // Texts that a quoted value cannot hold (line breaks) are stored as UTF-16LE bytes.
    for (const char *prefix : {"hex(1):", "hex(2):"})
    {
        const std::string start = prefix;
        std::string bytes;
        if (data.compare(0, start.size(), start) != 0 || !ParseHexBytes(data.substr(start.size()), bytes) ||
            bytes.size() % 2 != 0)
            continue;
        std::wstring text = DecodeUtf16LE(bytes.data(), bytes.size() / 2);
        const size_t end = text.find(L'\0');
        if (end != std::wstring::npos)
            text.resize(end);
        entry.kind = ValueKind::String;
        entry.text = text;
        return;
    }
}

std::string FormatValue(const std::wstring &name, ValueKind kind, const std::wstring &text, uint32_t dword)
{
    // The unnamed (default) value is written as @.
    std::string line = (name.empty() ? std::string("@") : Quote(PathToNative(name))) + "=";
    if (kind == ValueKind::Dword)
    {
        char digits[16];
        std::snprintf(digits, sizeof digits, "dword:%08x", dword);
        return line + digits;
    }
    bool plain = true;
    for (wchar_t c : text)
    {
        if (c < 0x20)
            plain = false;
    }
    if (plain)
        return line + Quote(PathToNative(text));
    const std::string bytes = EncodeUtf16LE(text) + std::string(2, '\0');
    line += "hex(1):";
    for (size_t i = 0; i < bytes.size(); ++i)
    {
        char digits[4];
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(bytes[i]));
        line += digits;
        if (i + 1 < bytes.size())
            line += (i + 1) % kHexBytesPerLine == 0 ? ",\\\n  " : ",";
    }
    return line;
}

Document ParseDocument(const std::string &content)
{
    Document document;
    std::vector<std::string> lines;
    size_t start = 0;
    // The editor itself exports UTF-16LE; such a file is read as such and rewritten as UTF-8.
    if (content.compare(0, 2, kUtf16Mark) == 0)
        return ParseDocument(PathToNative(DecodeUtf16LE(content.data() + 2, (content.size() - 2) / 2)));
    // A byte-order mark may lead a file written by another editor. It stays: without it, text
    // that follows it and begins with the bytes FF FE would be taken for UTF-16 on the next read.
    if (content.compare(0, 3, kUtf8Mark) == 0)
    {
        document.byteOrderMark = true;
        start = 3;
    }
    while (start < content.size())
    {
        size_t end = content.find('\n', start);
        if (end == std::string::npos)
            end = content.size();
        std::string line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }

    for (size_t i = 0; i < lines.size(); ++i)
    {
        std::string line = lines[i];
        while (IsContinued(line) && line[0] != '[' && i + 1 < lines.size())
            line += "\n" + lines[++i];
        if (line.size() >= 2 && line[0] == '[' && line.back() == ']')
        {
            Section section;
            section.raw = line;
            const std::vector<std::wstring> path = SplitKeyPath(NativeToPath(line.substr(1, line.size() - 2)));
            section.local = !path.empty() && SameName(path[0], kRootName);
            if (section.local)
                section.components.assign(path.begin() + 1, path.end());
            document.sections.push_back(section);
            continue;
        }
        if (document.sections.empty())
        {
            document.preamble.push_back(line);
            continue;
        }
        Entry entry;
        entry.raw = line;
        if (!line.empty() && (line[0] == '"' || line[0] == '@'))
            ParseValue(entry);
        document.sections.back().entries.push_back(entry);
    }
    if (document.preamble.empty())
        document.preamble = {kHeader, ""};
    return document;
}

std::string SerializeDocument(const Document &document)
{
    std::string content = document.byteOrderMark ? kUtf8Mark : "";
    for (const std::string &line : document.preamble)
        content += line + "\n";
    for (const Section &section : document.sections)
    {
        content += section.raw + "\n";
        for (const Entry &entry : section.entries)
            content += entry.raw + "\n";
    }
    return content;
}

std::string RegistryFile()
{
    return PathToNative(RegistryFilePath());
}

std::string ParentDirectory(const std::string &path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// False only when the file exists and cannot be read: a writer must then leave it alone rather
// than replace it with what it failed to read.
bool ReadDocument(Document &document)
{
    std::string content;
    const ZELKRESULT result = ReadWholeFile(RegistryFilePath(), content, kMaxRegistryFileSize);
    document = ParseDocument(content);
    return result == ZELKRESULT_OK || (result == ZELKRESULT_IO && (errno == ENOENT || errno == ENOTDIR));
}

// A crash at any moment leaves the old or the new file whole.
bool ReplaceDocument(const Document &document)
{
    return WriteWholeFile(RegistryFilePath(), SerializeDocument(document));
}

// The process may change the registry: it can write the file and replace it in its directory, or
// create both when they are missing.
bool MayWriteRegistry()
{
    const std::string path = RegistryFile();
    if (access(path.c_str(), F_OK) == 0)
        return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) == 0 &&
               faccessat(AT_FDCWD, ParentDirectory(path).c_str(), W_OK | X_OK, AT_EACCESS) == 0;
    std::string directory = ParentDirectory(path);
    while (access(directory.c_str(), F_OK) != 0 && directory != "/" && directory != ".")
        directory = ParentDirectory(directory);
    return faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// The registry's lock file. It is its owner's alone (0600): an account that could open it could
// hold it and stall every writer. Nothing but a plain file is taken, never through a link
// (opening a planted FIFO would block). Writers must be able to write the directory, where they
// could replace the lock anyway; so a writer that may not open the lock file puts a new one of its
// own in its place. Only a writer of the old lock at that very moment is then not kept out, and
// only the registry's own writers can do it.
int OpenLockFile(const std::string &lockPath)
{
    constexpr int kFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int lock = open(lockPath.c_str(), O_RDWR | O_CREAT | kFlags, kLockFileMode);
    // flock needs no write access: a lock file that another account left readable still serves.
    if (lock < 0 && errno == EACCES)
        lock = open(lockPath.c_str(), O_RDONLY | kFlags);
    if (lock < 0 && errno == EACCES &&
        faccessat(AT_FDCWD, ParentDirectory(lockPath).c_str(), W_OK | X_OK, AT_EACCESS) == 0)
    {
        const std::string fresh = lockPath + ".new-" + std::to_string(getpid());
        lock = open(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | kFlags, kLockFileMode);
        if (lock >= 0 && rename(fresh.c_str(), lockPath.c_str()) != 0)
        {
            close(lock);
            unlink(fresh.c_str());
            lock = -1;
        }
    }
    if (lock < 0)
        return -1;
    struct stat info;
    if (fstat(lock, &info) != 0 || !S_ISREG(info.st_mode))
    {
        close(lock);
        return -1;
    }
    // A lock file left readable by an older version is closed to others from now on.
    if (info.st_uid == geteuid() && (info.st_mode & 077) != 0)
        fchmod(lock, kLockFileMode);
    return lock;
}

// Runs one change under the exclusive lock of the registry. The lock lives on a file of its own
// because the rename replaces the registry file's inode, which would drop a lock held on it.
bool ChangeDocument(const std::function<bool(Document &)> &change)
{
    const std::string path = RegistryFile();
    if (!MakeDirectory(NativeToPath(ParentDirectory(path))))
        return false;
    const int lock = OpenLockFile(path + ".lock");
    if (lock < 0)
        return false;
    if (WaitForFileLock(lock, LOCK_EX) != LockWaitResult::Taken)
    {
        close(lock);
        return false;
    }
    // Only the holder of the lock writes, so a new file found by the holder was left by a writer
    // that died during its save.
    RemoveAbandonedReplacements(RegistryFilePath());
    Document document;
    const bool done = ReadDocument(document) && change(document) && ReplaceDocument(document);
    close(lock);
    return done;
}

Section *FindSection(Document &document, const std::vector<std::wstring> &key)
{
    for (Section &section : document.sections)
    {
        if (section.local && ComponentsEqual(section.components, key))
            return &section;
    }
    return nullptr;
}

// A key exists when its section does or a section below it does (an import creates the parents).
bool KeyExists(const Document &document, const std::vector<std::wstring> &key)
{
    if (key.empty())
        return true;
    for (const Section &section : document.sections)
    {
        if (section.local && (ComponentsEqual(section.components, key) || IsBelow(section.components, key)))
            return true;
    }
    return false;
}

std::string SectionHeader(const std::vector<std::wstring> &key)
{
    std::wstring path = kRootName;
    for (const std::wstring &component : key)
        path += L"\\" + component;
    return "[" + PathToNative(path) + "]";
}

Section &AddSection(Document &document, const std::vector<std::wstring> &key)
{
    // Sections are set apart by an empty line, as the editor writes them.
    std::vector<std::string> &lastLines = document.preamble;
    if (!document.sections.empty())
    {
        std::vector<Entry> &entries = document.sections.back().entries;
        if (entries.empty() || !entries.back().raw.empty())
            entries.push_back(Entry());
    }
    else if (lastLines.empty() || !lastLines.back().empty())
    {
        lastLines.push_back("");
    }
    Section section;
    section.raw = SectionHeader(key);
    section.local = true;
    section.components = key;
    section.entries.push_back(Entry());
    document.sections.push_back(section);
    return document.sections.back();
}

Section &EnsureSection(Document &document, const std::vector<std::wstring> &key)
{
    for (size_t depth = 1; depth < key.size(); ++depth)
    {
        const std::vector<std::wstring> parent(key.begin(), key.begin() + static_cast<long>(depth));
        if (!KeyExists(document, parent))
            AddSection(document, parent);
    }
    Section *section = FindSection(document, key);
    return section ? *section : AddSection(document, key);
}

const Entry *FindValue(const Document &document, const std::vector<std::wstring> &key, const std::wstring &name)
{
    for (const Section &section : document.sections)
    {
        if (!section.local || !ComponentsEqual(section.components, key))
            continue;
        for (const Entry &entry : section.entries)
        {
            if (entry.kind != ValueKind::None && SameName(entry.name, name))
                return &entry;
        }
    }
    return nullptr;
}

bool SetValue(const std::vector<std::wstring> &key, const std::wstring &name, ValueKind kind,
              const std::wstring &text, uint32_t dword)
{
    // A name is one quoted text on one line; a line break would split the entry.
    for (wchar_t c : name)
    {
        if (c == L'\n' || c == L'\r')
            return false;
    }
    // A character that is no Unicode scalar value has no UTF-8 (or UTF-16) form: it would be
    // stored as U+FFFD and read back otherwise than it was written.
    if (!IsScalarText(name) || !IsScalarText(text))
        return false;
    return ChangeDocument([&](Document &document) {
        Section &section = EnsureSection(document, key);
        for (Entry &entry : section.entries)
        {
            if (entry.kind == ValueKind::None || !SameName(entry.name, name))
                continue;
            // The name keeps the spelling it was first written with.
            entry.raw = FormatValue(entry.name, kind, text, dword);
            ParseValue(entry);
            return true;
        }
        Entry entry;
        entry.raw = FormatValue(name, kind, text, dword);
        ParseValue(entry);
        // New values go behind the last line of the section, before the empty lines that end it.
        // A last line that ends in a backslash goes on in the next one when the file is read (it
        // can only be the file's last, its continuation cut off); a value behind it would vanish
        // into it, so the value goes in front of it.
        auto at = section.entries.end();
        while (at != section.entries.begin() && (at - 1)->raw.empty())
            --at;
        if (at != section.entries.begin() && IsContinued((at - 1)->raw))
            --at;
        section.entries.insert(at, entry);
        return true;
    });
}
} // namespace

std::wstring RegistryFilePath()
{
    const char *path = std::getenv("PELMO_REGISTRY");
    return NativeToPath(path && *path ? path : kDefaultRegistryFile);
}

RegistryKey::RegistryKey(const std::wstring &path, bool forWrite) : m_path(path), m_forWrite(forWrite)
{
}

bool RegistryKey::CreateKey(const std::wstring &path)
{
    const std::vector<std::wstring> key = SplitKeyPath(path);
    // A name the file cannot hold would be written as another and never found again.
    if (key.empty() || !IsScalarText(path) || !MayWriteRegistry())
        return false;
    // A key that exists already leaves the file untouched (the start-up access check creates its
    // key on every run).
    bool existed = false;
    const bool created = ChangeDocument([&](Document &document) {
        existed = KeyExists(document, key);
        if (!existed)
            EnsureSection(document, key);
        return !existed;
    });
    return created || existed;
}

bool RegistryKey::MayWrite()
{
    return MayWriteRegistry();
}

std::unique_ptr<RegistryKey> RegistryKey::Open(const std::wstring &path, bool forWrite)
{
    if (forWrite && !MayWriteRegistry())
        return nullptr;
    Document document;
    ReadDocument(document);
    if (!KeyExists(document, SplitKeyPath(path)))
        return nullptr;
    return std::unique_ptr<RegistryKey>(new RegistryKey(path, forWrite));
}

bool RegistryKey::EnumSubKey(uint32_t index, std::wstring &name) const
{
    Document document;
    ReadDocument(document);
    const std::vector<std::wstring> key = SplitKeyPath(m_path);
    std::vector<std::wstring> names;
    for (const Section &section : document.sections)
    {
        if (!section.local || !IsBelow(section.components, key))
            continue;
        const std::wstring &child = section.components[key.size()];
        bool seen = false;
        for (const std::wstring &known : names)
            seen = seen || SameName(known, child);
        if (!seen)
            names.push_back(child);
    }
    if (index >= names.size())
        return false;
    name = names[index];
    return true;
}

bool RegistryKey::QueryString(const std::wstring &name, std::wstring &value) const
{
    Document document;
    ReadDocument(document);
    const Entry *entry = FindValue(document, SplitKeyPath(m_path), name);
    if (!entry || entry->kind != ValueKind::String)
        return false;
    value = entry->text;
    return true;
}

bool RegistryKey::QueryDword(const std::wstring &name, uint32_t &value) const
{
    Document document;
    ReadDocument(document);
    const Entry *entry = FindValue(document, SplitKeyPath(m_path), name);
    if (!entry || entry->kind != ValueKind::Dword)
        return false;
    value = entry->dword;
    return true;
}

bool RegistryKey::SetString(const std::wstring &name, const std::wstring &value)
{
    return m_forWrite && SetValue(SplitKeyPath(m_path), name, ValueKind::String, value, 0);
}

bool RegistryKey::SetDword(const std::wstring &name, uint32_t value)
{
    return m_forWrite && SetValue(SplitKeyPath(m_path), name, ValueKind::Dword, std::wstring(), value);
}

bool RegistryKey::DeleteValue(const std::wstring &name)
{
    if (!m_forWrite)
        return false;
    const std::vector<std::wstring> key = SplitKeyPath(m_path);
    return ChangeDocument([&](Document &document) {
        for (Section &section : document.sections)
        {
            if (!section.local || !ComponentsEqual(section.components, key))
                continue;
            for (auto entry = section.entries.begin(); entry != section.entries.end(); ++entry)
            {
                if (entry->kind != ValueKind::None && SameName(entry->name, name))
                {
                    section.entries.erase(entry);
                    return true;
                }
            }
        }
        return false;
    });
}

RegistryValueState QueryRegistryText(const std::wstring &keyPath, const std::wstring &name, std::wstring &value)
{
    Document document;
    if (!ReadDocument(document))
        return RegistryValueState::Unreadable;
    const Entry *entry = FindValue(document, SplitKeyPath(keyPath), name);
    if (!entry)
        return RegistryValueState::Missing;
    if (entry->kind != ValueKind::String)
        return RegistryValueState::OtherType;
    value = entry->text;
    return RegistryValueState::Text;
}
