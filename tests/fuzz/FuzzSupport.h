// What the fuzz targets share: a private working directory for the process, made afresh for each
// input, and files written whole. A target aborts (which the fuzzer reports as a crash) when a
// property that must hold for every input does not.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <unistd.h>

namespace fuzz
{
namespace fs = std::filesystem;

// The workspace of the process, for Fail to remove: an abort runs no destructor.
inline fs::path &WorkspaceRoot()
{
    static fs::path root;
    return root;
}

// Reports a broken property with the input's context and aborts, so that the fuzzer keeps the
// input as a crash.
[[noreturn]] inline void Fail(const char *what, const std::string &detail = std::string())
{
    std::fprintf(stderr, "fuzz property broken: %s %s\n", what, detail.c_str());
    if (!WorkspaceRoot().empty())
    {
        std::error_code ignored;
        fs::remove_all(WorkspaceRoot(), ignored);
    }
    std::abort();
}

inline void Check(bool condition, const char *what, const std::string &detail = std::string())
{
    if (!condition)
        Fail(what, detail);
}

// A directory of the process's own below the temporary directory, removed when the process ends;
// Fresh() empties its "run" folder for the next input.
class Workspace
{
public:
    explicit Workspace(const std::string &name)
    {
        std::string pattern = (fs::temp_directory_path() / ("zelk-fuzz-" + name + "-XXXXXX")).string();
        if (!mkdtemp(pattern.data()))
            Fail("cannot make the workspace", pattern);
        m_root = pattern;
        WorkspaceRoot() = m_root;
    }
    ~Workspace()
    {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
        WorkspaceRoot().clear();
    }
    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;

    const fs::path &Root() const { return m_root; }

    fs::path Fresh()
    {
        const fs::path run = m_root / "run";
        std::error_code ignored;
        // Inputs may leave directories without search permission behind; give it back first.
        for (auto entry = fs::recursive_directory_iterator(run, fs::directory_options::skip_permission_denied, ignored);
             entry != fs::recursive_directory_iterator(); entry.increment(ignored))
        {
            if (entry->is_directory(ignored) && !entry->is_symlink(ignored))
                fs::permissions(entry->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(run, ignored);
        fs::create_directories(run);
        return run;
    }

private:
    fs::path m_root;
};

inline void WriteBytes(const fs::path &path, const void *data, size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
    if (!out)
        Fail("cannot write", path.string());
}

inline std::string ReadBytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
} // namespace fuzz
