// Files and directories the tests make for themselves: a private temporary directory that goes
// away with its owner, files read and written whole, by native or by program path, and the bytes
// to fill them with.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <system_error>

#include "kernel/TextConvert.h"

namespace testfiles
{
// A new directory below the system's temporary directory, made with mkdtemp so that parallel
// test programs never share one; removed with everything in it when the object goes. Every test
// takes its temporary files from one of these.
class TempDirectory
{
public:
    explicit TempDirectory(const std::string &prefix = "zelk-test")
    {
        std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr)
            m_path = pattern;
    }
    ~TempDirectory()
    {
        std::error_code ignored;
        if (!m_path.empty())
            std::filesystem::remove_all(m_path, ignored);
    }
    TempDirectory(const TempDirectory &) = delete;
    TempDirectory &operator=(const TempDirectory &) = delete;

    const std::filesystem::path &Path() const { return m_path; }
    // The path as the program's code takes it.
    std::wstring WidePath() const { return NativeToPath(m_path.string()); }
    std::string operator/(const std::string &name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

// Empty when the file cannot be read.
inline std::string ReadFile(const std::filesystem::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string ReadFile(const std::wstring &path)
{
    return ReadFile(std::filesystem::path(PathToNative(path)));
}

// Replaces the file, making the directories above it first.
inline void WriteFile(const std::filesystem::path &path, const std::string &bytes)
{
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline void WriteFile(const std::wstring &path, const std::string &bytes)
{
    WriteFile(std::filesystem::path(PathToNative(path)), bytes);
}
// size bytes that repeat at none of the block sizes a reader, a buffer or a checksum works in, so
// that a piece read twice, skipped or put in the wrong place shows; contents with another seed
// differ everywhere.
inline std::string Pattern(size_t size, char seed = 0)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
    return bytes;
}

// Relative path -> content of every regular file below root.
inline std::map<std::string, std::string> FileTreeContents(const std::filesystem::path &root)
{
    std::map<std::string, std::string> contents;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            contents[std::filesystem::relative(entry.path(), root).string()] = ReadFile(entry.path());
    return contents;
}
} // namespace testfiles
