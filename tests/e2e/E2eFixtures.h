// What the whole-program tests share: files read and written whole, the project's tools run to
// their end, installation trees compared byte for byte, and a test directory holding a sample
// installation registered where the patcher looks for it.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "RunningProgram.h"
#include "TestFiles.h"

namespace e2e
{
namespace fs = std::filesystem;

inline const std::string kBuild = ZELK_BUILD_DIR;

using testfiles::ReadFile;
using testfiles::WriteFile;

inline bool Contains(const std::string &output, const std::string &text)
{
    return output.find(text) != std::string::npos;
}

// Runs a tool to its end and expects it to succeed; its output when output is given.
inline int RunTool(const std::vector<std::string> &arguments, std::string *output = nullptr)
{
    RunningProgram tool(arguments);
    const int status = tool.Wait();
    if (output)
        *output = tool.Output();
    EXPECT_EQ(status, 0) << arguments[0] << ": " << tool.Output();
    return status;
}

// Relative path -> content of every file below root; directories map to "<dir>".
inline std::map<std::string, std::string> TreeContents(const fs::path &root, const std::set<std::string> &ignored)
{
    std::map<std::string, std::string> tree;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(root))
    {
        const std::string relative = fs::relative(entry.path(), root).string();
        if (ignored.count(relative) == 0)
            tree[relative] = entry.is_directory() ? "<dir>" : ReadFile(entry.path());
    }
    return tree;
}

// Every difference between two trees, by path; empty when they are equal byte for byte. The
// uninstall log belongs to the installation, not to a build.
inline std::vector<std::string> TreeDifferences(const fs::path &actual, const fs::path &expected)
{
    const std::set<std::string> ignored = {"unins000.dat"};
    const auto left = TreeContents(actual, ignored);
    const auto right = TreeContents(expected, ignored);
    std::vector<std::string> differences;
    for (const auto &[path, content] : left)
    {
        const auto match = right.find(path);
        if (match == right.end())
            differences.push_back("extra " + path);
        else if (match->second != content)
            differences.push_back("differs " + path);
    }
    for (const auto &[path, content] : right)
        if (!left.count(path))
            differences.push_back("missing " + path);
    return differences;
}

// Each test gets a directory of its own below the suite's root, with a sample installation of
// version 100 that the registry file names; it is kept when the test fails, for a look.
class PatcherRunTest : public ::testing::Test
{
protected:
    void MakeRunDirectory(const fs::path &root)
    {
        m_dir = root / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(m_dir);
        fs::create_directories(m_dir / "temp");
        m_install = m_dir / "Korvil";
        RunTool({kBuild + "/zelk-mksample", m_install.string(), "--version", "100"});
        m_registry = m_dir / "registry.reg";
        WriteFile(m_registry, "Windows Registry Editor Version 5.00\n\n"
                              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\KorvilSimulator\\Korvil]\n"
                              "\"ProductClass\"=\"Korvil\"\n"
                              "\"ProductInstallPath\"=\"" +
                                  m_install.string() + "\"\n");
        m_utilityLog = m_dir / "utility.log";
    }

    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(m_dir);
    }

    // The patcher's registry, temporary directory and database utility are the test's own.
    std::vector<std::string> Environment(std::vector<std::string> extra = {}) const
    {
        std::vector<std::string> environment = {"PELMO_REGISTRY=" + m_registry.string(),
                                                "TEMP=" + (m_dir / "temp").string(),
                                                "KORVILUTIL_LOG=" + m_utilityLog.string(), "LANG=C"};
        environment.insert(environment.end(), extra.begin(), extra.end());
        return environment;
    }

    fs::path m_dir;
    fs::path m_install;
    fs::path m_registry;
    fs::path m_utilityLog;
};
} // namespace e2e
