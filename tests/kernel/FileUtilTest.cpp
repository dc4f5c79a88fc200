#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"

namespace
{
struct PathCase
{
    const char *operation;
    std::wstring first;
    std::wstring second;
    std::wstring expected;
};

std::wstring ApplyPathOperation(const PathCase &pathCase)
{
    const std::string operation = pathCase.operation;
    if (operation == "JoinPath")
        return JoinPath(pathCase.first, pathCase.second);
    if (operation == "RelativePath")
        return RelativePath(pathCase.first, pathCase.second);
    if (operation == "FileNamePart")
        return NativeToPath(FileNamePart(pathCase.first));
    if (operation == "StripExtension")
        return NativeToPath(StripExtension(pathCase.first));
    if (operation == "GetExtension")
        return NativeToPath(GetExtension(pathCase.first));
    if (operation == "SanitizeFileName")
        return NativeToPath(SanitizeFileName(PathToNative(pathCase.first)));
    ADD_FAILURE() << "unknown operation " << operation;
    return std::wstring();
}

const PathCase kPathCases[] = {
    {"JoinPath", L"/t/a/", L"/b", L"/t/a/b"},
    {"JoinPath", L"/t/a", L"b", L"/t/a/b"},
    {"JoinPath", L"", L"/b", L"/b"},
    {"JoinPath", L"/t/a", L"//\\b/c", L"/t/a/b/c"},
    {"JoinPath", L"C:\\a\\", L"\\b", L"C:\\a\\b"},
    {"JoinPath", L"ftp://host:21", L"patches/patches.txt", L"ftp://host:21/patches/patches.txt"},
    {"RelativePath", L"/root/sub/f.txt", L"/root", L"sub/f.txt"},
    {"RelativePath", L"\\root\\sub\\f.txt", L"/root/", L"sub/f.txt"},
    {"RelativePath", L"/root", L"/root", L""},
    {"FileNamePart", L"/a/b.txt", L"", L"b.txt"},
    {"FileNamePart", L"a\\b", L"", L"b"},
    {"FileNamePart", L"name", L"", L"name"},
    {"FileNamePart", L"/d/K\u00f6rvil", L"", L"K\u00f6rvil"},
    {"StripExtension", L"dir.old/file", L"", L"dir.old/file"},
    {"StripExtension", L"a/b.dmp", L"", L"a/b"},
    {"StripExtension", L"a/b.tar.gz", L"", L"a/b.tar"},
    {"GetExtension", L"dir.old/file", L"", L""},
    {"GetExtension", L"a/b.dmp", L"", L"dmp"},
    {"GetExtension", L"a\\b.tar.GZ", L"", L"GZ"},
    {"SanitizeFileName", L".hidden/x y", L"", L"_hidden_x_y"},
    {"SanitizeFileName", L"a\\b-c_d.e", L"", L"a_b-c_d.e"},
    {"SanitizeFileName", L"\u00f6:*", L"", L"____"},
};

// A directory of its own per test inside the run's private directory.
class FileUtil : public testing::Test
{
protected:
    void SetUp() override
    {
        m_root = MakeUniqueName(RunTempDirectory());
        ASSERT_TRUE(MakeDirectory(m_root));
    }

    void TearDown() override
    {
        ClearReadOnlyTree(m_root);
        DeleteTree(m_root);
    }

    std::wstring WriteFile(const std::wstring &name, const std::string &content)
    {
        const std::wstring path = JoinPath(m_root, name);
        std::ofstream(PathToNative(path), std::ios::binary) << content;
        return path;
    }

    static void ClearReadOnlyTree(const std::wstring &directory)
    {
        std::set<std::wstring> entries;
        ListDirectory(directory, entries);
        for (const std::wstring &entry : entries)
        {
            ClearReadOnly(entry);
            if (IsDirectory(entry))
                ClearReadOnlyTree(entry);
        }
    }

    std::wstring m_root;
};

// The run's private directory goes when the tests end, as the program removes it at exit.
class RunTempCleanup : public testing::Environment
{
public:
    void TearDown() override
    {
        RemoveRunTempDirectory();
    }
};

testing::Environment *const g_runTempCleanup = testing::AddGlobalTestEnvironment(new RunTempCleanup);

class LogCollector : public ZelkSystemLogObserver
{
public:
    LogCollector()
    {
        ZelkAddSystemLogObserver(this);
    }
    ~LogCollector() override
    {
        ZelkRemoveSystemLogObserver(this);
    }
    void OnSystemLog(const std::wstring &text) override
    {
        lines.push_back(text);
    }
    std::vector<std::wstring> lines;
};
} // namespace

class PathText : public testing::TestWithParam<PathCase>
{
};

TEST_P(PathText, GivesTheLinuxForm)
{
    const PathCase &pathCase = GetParam();
    EXPECT_EQ(ApplyPathOperation(pathCase), pathCase.expected)
        << pathCase.operation << "(" << PathToNative(pathCase.first) << ", " << PathToNative(pathCase.second) << ")";
}

INSTANTIATE_TEST_SUITE_P(Cases, PathText, testing::ValuesIn(kPathCases));

TEST(PathTextSplit, OneVariableMayServeAsTwoOutputs)
{
    // The address parser splits its rest into a user part and the new rest.
    std::string user;
    std::string rest = "user:pw@host:21/dir";
    EXPECT_TRUE(SplitAtFirst(rest, "@", user, rest, rest));
    EXPECT_EQ(user, "user:pw");
    EXPECT_EQ(rest, "host:21/dir");
    EXPECT_FALSE(SplitAtFirst(rest, "@", user, rest, rest));
    EXPECT_EQ(user, "");
    EXPECT_EQ(rest, "host:21/dir");

    std::string before;
    std::string after = "unchanged";
    std::string whole;
    EXPECT_TRUE(SplitAtFirst("a::b::c", "::", before, after, whole));
    EXPECT_EQ(before, "a");
    EXPECT_EQ(after, "b::c");
    EXPECT_EQ(whole, "");
    // As before and whole.
    std::string text = "key=value";
    EXPECT_TRUE(SplitAtFirst(text, "=", text, after, text));
    EXPECT_EQ(text, "key");
    EXPECT_EQ(after, "value");
}

TEST(PathTextFormat, LongResultsAreCutAt4095Characters)
{
    const std::string narrow(5000, 'n');
    EXPECT_EQ(FormatText("%s!", narrow.c_str()), std::string(4095, 'n'));
    const std::wstring wide(5000, L'w');
    EXPECT_EQ(FormatTextW(L"%ls!", wide.c_str()), std::wstring(4095, L'w'));
    EXPECT_EQ(FormatTextW(L"file%u", 42u), L"file42");
}

TEST_F(FileUtil, MakeDirectoryCreatesTheChainAndRefusesAFile)
{
    const std::wstring chain = JoinPath(m_root, L"t/x/y/");
    EXPECT_TRUE(MakeDirectory(chain));
    for (const wchar_t *part : {L"t", L"t/x", L"t/x/y"})
        EXPECT_TRUE(IsDirectory(JoinPath(m_root, part))) << PathToNative(part);
    EXPECT_TRUE(MakeDirectory(chain));
    EXPECT_FALSE(MakeDirectory(L""));
    EXPECT_FALSE(IsDirectory(JoinPath(m_root, L"missing")));

    const std::wstring file = WriteFile(L"plain", "x");
    LogCollector log;
    errno = 0;
    EXPECT_FALSE(MakeDirectory(file));
    EXPECT_EQ(errno, EEXIST);
    EXPECT_FALSE(MakeDirectory(JoinPath(file, L"below")));
    EXPECT_TRUE(log.lines.empty());

    // A creation that the system refuses is logged with its error.
    EXPECT_FALSE(MakeDirectory(JoinPath(m_root, std::wstring(300, L'n'))));
    EXPECT_EQ(log.lines, std::vector<std::wstring>{FormatTextW(L"MakeDirectory> CreateDirectoryW returned err %d\n",
                                                               ENAMETOOLONG)});
}

TEST_F(FileUtil, DeleteTreeStopsAtWhatItCannotRemove)
{
    ASSERT_TRUE(MakeDirectory(JoinPath(m_root, L"tree/sub")));
    const std::wstring readOnly = WriteFile(L"tree/sub/read-only.txt", "keep");
    const std::wstring writable = WriteFile(L"tree/sub/writable.txt", "go");
    ASSERT_TRUE(SetReadOnly(readOnly));
    ASSERT_TRUE(IsReadOnly(readOnly));

    EXPECT_FALSE(DeleteTree(JoinPath(m_root, L"tree")));
    EXPECT_TRUE(IsDirectory(JoinPath(m_root, L"tree/sub")));
    EXPECT_TRUE(FileExists(readOnly));
    EXPECT_FALSE(FileExists(writable));
    EXPECT_FALSE(DeleteFileAt(readOnly));

    ASSERT_TRUE(ClearReadOnly(readOnly));
    EXPECT_TRUE(ClearReadOnly(readOnly));
    EXPECT_TRUE(DeleteTree(JoinPath(m_root, L"tree")));
    EXPECT_FALSE(FileExists(JoinPath(m_root, L"tree")));
    EXPECT_FALSE(DeleteTree(L""));
}

// Names made by other programs need not be paths this program can write: a backslash reads as a
// separator, and bytes that are not UTF-8 do not survive the way through wide text.
TEST_F(FileUtil, DeleteTreeRemovesNamesThatAreNoProgramPath)
{
    ASSERT_TRUE(MakeDirectory(JoinPath(m_root, L"tree/sub")));
    const std::string native = PathToNative(JoinPath(m_root, L"tree"));
    for (const std::string name : {"/back\\slash", "/sub/latin-1 \xE9t\xE9"})
        std::ofstream(native + name, std::ios::binary) << "x";

    EXPECT_TRUE(DeleteTree(JoinPath(m_root, L"tree")));
    EXPECT_FALSE(FileExists(JoinPath(m_root, L"tree")));
}

TEST_F(FileUtil, MoveNeverReplacesAndRefusesAReadOnlySource)
{
    const std::wstring source = WriteFile(L"source", "data");
    const std::wstring taken = WriteFile(L"taken", "other");
    EXPECT_FALSE(MoveFileAt(source, taken));
    EXPECT_TRUE(FileExists(source));

    // Read-only refuses the move even for root, who may open anything for writing.
    ASSERT_TRUE(SetReadOnly(source));
    EXPECT_FALSE(MoveFileAt(source, JoinPath(m_root, L"moved")));
    EXPECT_TRUE(FileExists(source));
    EXPECT_FALSE(FileExists(JoinPath(m_root, L"moved")));

    ASSERT_TRUE(ClearReadOnly(source));
    EXPECT_TRUE(MoveFileAt(source, JoinPath(m_root, L"moved")));
    EXPECT_FALSE(FileExists(source));
    EXPECT_FALSE(MoveFileAt(JoinPath(m_root, L"missing"), JoinPath(m_root, L"moved2")));
}

TEST_F(FileUtil, UniqueNamesCountUp)
{
    const std::wstring first = MakeUniqueName(L"/base\\dir");
    const std::wstring second = MakeUniqueName(L"/base\\dir");
    const std::wstring prefix = L"/base/dir/file";
    ASSERT_EQ(first.compare(0, prefix.size(), prefix), 0) << PathToNative(first);
    ASSERT_EQ(second.compare(0, prefix.size(), prefix), 0) << PathToNative(second);
    EXPECT_EQ(std::stoul(second.substr(prefix.size())), std::stoul(first.substr(prefix.size())) + 1);
}

TEST_F(FileUtil, NamesOutsideAsciiRoundTrip)
{
    const std::wstring directory = JoinPath(m_root, L"K\u00f6rvil \u65e5\u672c");
    ASSERT_TRUE(MakeDirectory(directory));
    const std::wstring name = JoinPath(directory, L"d\u00e9j\u00e0 \u0416.txt");
    ASSERT_TRUE(CopyFileAt(WriteFile(L"plain.txt", "12345"), name));

    // On disk the name is UTF-8, exactly.
    struct stat info;
    EXPECT_EQ(stat((PathToNative(m_root) + "/K\xC3\xB6rvil \xE6\x97\xA5\xE6\x9C\xAC/d\xC3\xA9j\xC3\xA0 \xD0\x96.txt").c_str(),
                   &info),
              0);
    std::set<std::wstring> entries;
    ASSERT_EQ(ListDirectory(directory, entries), ZELKRESULT_OK);
    EXPECT_EQ(entries, std::set<std::wstring>{name});
    EXPECT_TRUE(FileExists(name));
    uint64_t size = 0;
    EXPECT_EQ(GetFileSizeAt(name, size), ZELKRESULT_OK);
    EXPECT_EQ(size, 5u);
    EXPECT_TRUE(MoveFileAt(name, name + L"\u00b0"));
    EXPECT_TRUE(DeleteFileAt(name + L"\u00b0"));
    EXPECT_TRUE(DeleteTree(directory));
}

TEST_F(FileUtil, ListsSortedAndSizesBeyond2GiB)
{
    WriteFile(L"b", "");
    WriteFile(L"a", "");
    ASSERT_TRUE(MakeDirectory(JoinPath(m_root, L"c")));
    std::set<std::wstring> entries{L"stale"};
    ASSERT_EQ(ListDirectory(m_root, entries), ZELKRESULT_OK);
    EXPECT_EQ(entries, (std::set<std::wstring>{JoinPath(m_root, L"a"), JoinPath(m_root, L"b"), JoinPath(m_root, L"c")}));
    EXPECT_EQ(ListDirectory(JoinPath(m_root, L"missing"), entries), ZELKRESULT_LIST_FAILED);
    EXPECT_TRUE(entries.empty());

    // A sparse file: large in size, small on disk.
    const std::wstring large = WriteFile(L"large", "");
    ASSERT_EQ(truncate(PathToNative(large).c_str(), 3LL << 30), 0);
    uint64_t size = 0;
    EXPECT_EQ(GetFileSizeAt(large, size), ZELKRESULT_OK);
    EXPECT_EQ(size, 3ULL << 30);
    EXPECT_EQ(GetFileSizeAt(JoinPath(m_root, L"missing"), size), ZELKRESULT_IO);
    EXPECT_EQ(size, 0u);
}
