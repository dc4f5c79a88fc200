// Shared pieces of the package tests: a scratch directory, whole-file helpers, a writer for archives
// with any content (also the damaged and hostile ones the real writer refuses to make), and a
// capture of the user-visible messages.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkTypes.h"
#include "net/ZelkDataBuffer.h"
#include "net/ZelkUtil.h"

namespace PackageFixtures
{
class ScratchDirectory
{
public:
    const std::wstring &Path() const { return m_path; }
    std::wstring operator/(const std::wstring &relative) const { return JoinPath(m_path, relative); }

private:
    testfiles::TempDirectory m_directory;
    std::wstring m_path = m_directory.WidePath();
};

// The builder's work lives in the run's private directory, which goes when the test program ends.
class RunTempCleanup : public ::testing::Environment
{
public:
    void TearDown() override { RemoveRunTempDirectory(); }
};
inline ::testing::Environment *const g_runTempCleanup = ::testing::AddGlobalTestEnvironment(new RunTempCleanup);

inline void WriteFile(const std::wstring &path, const std::string &bytes)
{
    const size_t separator = path.rfind(L'/');
    if (separator != std::wstring::npos)
        MakeDirectory(path.substr(0, separator));
    std::ofstream out(PathToNative(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << PathToNative(path);
}

inline std::string ReadFile(const std::wstring &path)
{
    std::ifstream in(PathToNative(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every entry below directory, relative, with '/' and a trailing '/' for directories.
inline std::vector<std::wstring> ListTree(const std::wstring &directory, const std::wstring &prefix = L"")
{
    std::vector<std::wstring> found;
    std::set<std::wstring> entries;
    ListDirectory(directory, entries);
    for (const std::wstring &entry : entries)
    {
        const std::wstring name = prefix + entry.substr(entry.rfind(L'/') + 1);
        if (IsDirectory(entry))
        {
            found.push_back(name + L"/");
            for (const std::wstring &inner : ListTree(entry, name + L"/"))
                found.push_back(inner);
        }
        else
        {
            found.push_back(name);
        }
    }
    return found;
}

// Writes archive bytes record by record without any of the checks of the real writer.
class RawArchive
{
public:
    explicit RawArchive(uint32_t version = 1) { Append(&version, sizeof version); }

    // A name block whose unit count is given explicitly when countOverride is set.
    RawArchive &Name(const std::wstring &name, int64_t countOverride = -1)
    {
        const std::string units = EncodeUtf16LE(name);
        const uint32_t count =
            countOverride >= 0 ? static_cast<uint32_t>(countOverride) : static_cast<uint32_t>(units.size() / 2);
        std::string block(reinterpret_cast<const char *>(&count), sizeof count);
        return Block(block + units);
    }
    RawArchive &Block(const std::string &expanded)
    {
        ZelkDataBufferMemoryDynamic source;
        source.Write(expanded.data(), static_cast<uint32_t>(expanded.size()));
        source.Seek(0);
        ZelkDataBufferMemoryDynamic frame;
        EXPECT_EQ(ZelkUtil::CompressData(frame, source), ZELKRESULT_OK);
        Append(frame.GetData(), static_cast<size_t>(frame.GetSize()));
        return *this;
    }
    RawArchive &Bytes(const std::string &bytes)
    {
        Append(bytes.data(), bytes.size());
        return *this;
    }
    const std::string &Data() const { return m_bytes; }

private:
    void Append(const void *data, size_t size) { m_bytes.append(static_cast<const char *>(data), size); }

    std::string m_bytes;
};

struct Message
{
    MessageLevel level;
    std::wstring text;
    bool operator==(const Message &other) const { return level == other.level && text == other.text; }
};

inline void PrintTo(const Message &message, std::ostream *out)
{
    *out << "[" << message.level << "] " << PathToNative(message.text);
}

// Collects every message and progress report of the test's thread while it lives; a step hook may
// stop the work after a number of steps.
class ReportCapture : private ReportHooks
{
public:
    ReportCapture() : m_hooks(*this) {}
    ~ReportCapture() override = default;
    ReportCapture(const ReportCapture &) = delete;
    ReportCapture &operator=(const ReportCapture &) = delete;

    bool Has(MessageLevel level, const std::wstring &text) const
    {
        for (const Message &message : messages)
            if (message.level == level && message.text == text)
                return true;
        return false;
    }
    std::vector<std::wstring> TextsAt(MessageLevel level) const
    {
        std::vector<std::wstring> texts;
        for (const Message &message : messages)
            if (message.level == level)
                texts.push_back(message.text);
        return texts;
    }

    std::vector<Message> messages;
    std::vector<unsigned> announced;
    int steps = 0;
    // Negative: never stop.
    int stepsAllowed = -1;

private:
    void MessageHook(MessageLevel level, const std::wstring &text) override { messages.push_back(Message{level, text}); }
    void ProgressBeginHook(unsigned count) override { announced.push_back(count); }
    bool ProgressStepHook() override
    {
        ++steps;
        return stepsAllowed < 0 || steps <= stepsAllowed;
    }

    // Last, so that the hooks go before the fields they fill.
    ScopedPatchHooks m_hooks;
};
} // namespace PackageFixtures
