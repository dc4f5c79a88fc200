#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "AddressSpaceLimit.h"
#include "TestFiles.h"
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

// A directory of its own per test.
class FileUtil : public testing::Test
{
protected:
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

    testfiles::TempDirectory m_temp;
    std::wstring m_root = m_temp.WidePath();
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

namespace
{
std::set<std::wstring> Entries(const std::wstring &directory)
{
    std::set<std::wstring> entries;
    ListDirectory(directory, entries);
    return entries;
}

std::wstring Levels(size_t count, const std::wstring &level = L"a\\")
{
    std::wstring name;
    for (size_t i = 0; i < count; ++i)
        name += level;
    return name;
}
} // namespace

// Names from downloads: within the bounds, and inside the directory they are joined to.
TEST(UntrustedNames, AreBoundedAndMustStayInsideTheirDirectory)
{
    const struct
    {
        std::wstring name;
        bool withinBounds;
        bool contained;
    } cases[] = {
        {L".\\data\\bin\\Launcher.exe.diff", true, true},
        {L"bin\\KorvilUtil.exe", true, true},
        {L"a\\..b\\c..txt", true, true},
        {L"a\\.\\b.txt", true, true},
        {L"", true, false},
        {L"..", true, false},
        {L"..\\evil.txt", true, false},
        {L".\\data\\..\\..\\evil.txt", true, false},
        {L"data/../../evil.txt", true, false},
        {L"bin\\..", true, false},
        {L"\\evil.txt", true, false},
        {L"/etc/evil.txt", true, false},
        {L"\\\\server\\share\\evil.txt", true, false},
        {L"C:\\evil.txt", true, false},
        {L"c:evil.txt", true, false},
        {std::wstring(L"a.txt\0/../../x", 14), true, false},
        // Depth counts levels, not separators.
        {Levels(255) + L"a.txt", true, true},
        {Levels(256) + L"a.txt", false, true},
        {L"a" + std::wstring(1000, L'\\') + L"b.txt", true, true},
        // Length counts UTF-16 units: a character beyond the basic plane takes two.
        {std::wstring(32768, L'x'), true, true},
        {std::wstring(32769, L'x'), false, true},
        {std::wstring(16384, L'\U0001F600'), true, true},
        {std::wstring(16384, L'\U0001F600') + L"x", false, true},
        {Levels(100000), false, true},
    };
    for (const auto &test : cases)
    {
        SCOPED_TRACE(PathToNative(test.name.substr(0, 60)));
        EXPECT_EQ(IsWithinUntrustedNameBounds(test.name), test.withinBounds);
        EXPECT_EQ(IsContainedRelativeName(test.name), test.contained);
    }
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

// A path deeper or longer than any the system can hold is refused before any of it is made, and
// however deep it is, the walk along it neither recurses nor copies the path per level: the child
// has little address space to spare.
TEST_F(FileUtil, MakeDirectoryRefusesAnImpossiblePathWithoutMakingAnyOfIt)
{
    const std::wstring root = m_root;
    EXPECT_EXIT(std::_Exit(RunWithAddressSpaceLimit([&root] {
                    LogCollector log;
                    if (MakeDirectory(JoinPath(root, Levels(100000, L"a/"))))
                        return 1;
                    if (MakeDirectory(JoinPath(root, Levels(1500, L"ab/"))))
                        return 2;
                    return log.lines.size() == 2 ? 0 : 3;
                })),
                testing::ExitedWithCode(0), "");
    EXPECT_EQ(Entries(m_root), std::set<std::wstring>());
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

// Whole files ------------------------------------------------------------------------------------

namespace
{
mode_t ModeOf(const std::wstring &path)
{
    struct stat info = {};
    stat(PathToNative(path).c_str(), &info);
    return info.st_mode & 07777;
}

mode_t CurrentUmask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}
} // namespace

// The new content replaces the old as a whole and takes over what the old file was: its mode and,
// for root, its owner. Nothing else is left in the directory.
TEST_F(FileUtil, WholeFileWriteReplacesTheTargetAndKeepsItsModeAndOwner)
{
    const std::wstring target = WriteFile(L"unins000.dat", "old content");
    ASSERT_EQ(chmod(PathToNative(target).c_str(), 0640), 0);
    // Only root can give a file away; anyone else keeps owning what it writes.
    const uid_t owner = geteuid() == 0 ? 4321 : geteuid();
    ASSERT_EQ(chown(PathToNative(target).c_str(), owner, static_cast<gid_t>(-1)), 0);

    ASSERT_TRUE(WriteWholeFile(target, "new"));
    EXPECT_EQ(testfiles::ReadFile(target), "new");
    EXPECT_EQ(ModeOf(target), 0640u);
    struct stat info = {};
    ASSERT_EQ(stat(PathToNative(target).c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, owner);
    EXPECT_EQ(Entries(m_root), std::set<std::wstring>{target});

    const std::wstring fresh = JoinPath(m_root, L"fresh.txt");
    ASSERT_TRUE(WriteWholeFile(fresh, std::string()));
    EXPECT_EQ(testfiles::ReadFile(fresh), "");
    EXPECT_EQ(ModeOf(fresh), 0666u & ~CurrentUmask());
}

// The three ways a writer fills a replacement: its own writes, its stream, or a file object of
// the writer's opened on the new file's path. Until the commit the target holds the old content.
TEST_F(FileUtil, ReplacementIsFilledThroughWritesStreamOrPath)
{
    const std::function<bool(ReplacementFile &)> fills[] = {
        [](ReplacementFile &file) { return file.Write("first ") && file.Write(std::string("second")); },
        [](ReplacementFile &file) { return std::fputs("first second", file.Stream()) >= 0; },
        [](ReplacementFile &file) {
            std::ofstream out(PathToNative(file.TemporaryPath()), std::ios::binary | std::ios::trunc);
            out << "first second";
            out.close();
            return static_cast<bool>(out);
        },
    };
    for (size_t i = 0; i < std::size(fills); ++i)
    {
        SCOPED_TRACE(i);
        const std::wstring target = WriteFile(L"target.bin", "old");
        ReplacementFile file(target);
        ASSERT_TRUE(file.IsOpen());
        ASSERT_TRUE(fills[i](file));
        EXPECT_EQ(testfiles::ReadFile(target), "old");
        ASSERT_TRUE(file.Commit());
        EXPECT_EQ(testfiles::ReadFile(target), "first second");
        EXPECT_EQ(Entries(m_root), std::set<std::wstring>{target});
    }
}

// However a write ends short of its commit, the old file stays as it was and the new one goes.
TEST_F(FileUtil, UnfinishedReplacementLeavesTheOldFileAndNothingBeside)
{
    const std::wstring target = WriteFile(L"registry.reg", "old");
    {
        ReplacementFile file(target);
        ASSERT_TRUE(file.Write("abandoned by an early return"));
    }
    {
        ReplacementFile file(target);
        ASSERT_NE(std::fputs("discarded", file.Stream()), EOF);
        file.Discard();
        EXPECT_FALSE(file.Commit());
    }
    EXPECT_EQ(testfiles::ReadFile(target), "old");
    EXPECT_EQ(Entries(m_root), std::set<std::wstring>{target});

    // The rename fails: a directory stands where the file should go.
    const std::wstring directory = JoinPath(m_root, L"occupied");
    ASSERT_TRUE(MakeDirectory(directory));
    errno = 0;
    EXPECT_FALSE(WriteWholeFile(directory, "content"));
    EXPECT_EQ(errno, EISDIR);
    EXPECT_TRUE(IsDirectory(directory));
    EXPECT_EQ(Entries(m_root), (std::set<std::wstring>{directory, target}));

    // No place for the new file at all.
    ReplacementFile nowhere(JoinPath(m_root, L"missing/file"));
    EXPECT_FALSE(nowhere.IsOpen());
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(nowhere.Write("x"));
    EXPECT_FALSE(nowhere.Commit());
}

// A writer killed in the middle leaves the old file whole. Its new file stays behind until a
// writer that holds the target's lock clears it; the target's neighbours are not touched.
TEST_F(FileUtil, KilledWriterLeavesTheOldFileAndItsLeftoverIsRecognised)
{
    const std::wstring target = WriteFile(L"registry.reg", "old");
    const std::set<std::wstring> neighbours = {target, WriteFile(L"registry.reg.lock", ""),
                                               WriteFile(L"other.reg.tmp-ABCDEF", "")};
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
    {
        ReplacementFile file(target);
        file.Write("half of the new");
        std::_Exit(file.IsOpen() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(testfiles::ReadFile(target), "old");
    EXPECT_EQ(Entries(m_root).size(), neighbours.size() + 1);

    RemoveAbandonedReplacements(target);
    EXPECT_EQ(Entries(m_root), neighbours);
}

namespace
{
struct ReadCase
{
    const char *name;
    const char *content; // nullptr: no file; "<dir>": a directory
    uint64_t limit;
    ZELKRESULT result;
    int error;
};

const ReadCase kReadCases[] = {
    {"within the limit", "0123456789", 10, ZELKRESULT_OK, 0},
    {"empty", "", 0, ZELKRESULT_OK, 0},
    {"beyond the limit", "0123456789", 9, ZELKRESULT_NO_MEMORY, 0},
    {"missing", nullptr, 100, ZELKRESULT_IO, ENOENT},
    {"directory", "<dir>", 100, ZELKRESULT_IO, EISDIR},
};
} // namespace

TEST_F(FileUtil, ReadWholeFileIsBoundedAndSaysWhyItFailed)
{
    for (const ReadCase &c : kReadCases)
    {
        SCOPED_TRACE(c.name);
        const std::wstring path = JoinPath(m_root, NativeToPath(c.name));
        if (c.content && std::string(c.content) == "<dir>")
            ASSERT_TRUE(MakeDirectory(path));
        else if (c.content)
            WriteFile(NativeToPath(c.name), c.content);
        std::string bytes = "stale";
        errno = 0;
        EXPECT_EQ(ReadWholeFile(path, bytes, c.limit), c.result);
        EXPECT_EQ(bytes, c.result == ZELKRESULT_OK ? std::string(c.content) : std::string());
        if (c.error != 0)
        {
            EXPECT_EQ(errno, c.error);
        }
    }
    // A file that names no size (as the kernel's own do) is read to its end all the same.
    std::string status;
    ASSERT_EQ(ReadWholeFile(L"/proc/self/status", status, 1 << 20), ZELKRESULT_OK);
    EXPECT_NE(status.find("Pid:"), std::string::npos);
}

TEST_F(FileUtil, PrivateFilesAreTheOwnersAndNeverReplaceAnything)
{
    // A wide umask must not widen the file either.
    const mode_t umaskBefore = umask(0);
    const std::wstring key = JoinPath(m_root, L"key.pem");
    EXPECT_TRUE(CreatePrivateFile(key, "secret\n"));
    umask(umaskBefore);
    struct stat info;
    ASSERT_EQ(stat(PathToNative(key).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    std::ifstream in(PathToNative(key));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "secret\n");

    // An existing file, and a link planted where the key goes, stay as they are.
    EXPECT_FALSE(CreatePrivateFile(key, "other"));
    const std::wstring target = WriteFile(L"target", "untouched");
    const std::wstring link = JoinPath(m_root, L"link.pem");
    ASSERT_EQ(symlink(PathToNative(target).c_str(), PathToNative(link).c_str()), 0);
    EXPECT_FALSE(CreatePrivateFile(link, "other"));
    std::ifstream targetIn(PathToNative(target));
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(targetIn), {}), "untouched");
    EXPECT_FALSE(CreatePrivateFile(JoinPath(m_root, L"missing/key.pem"), "secret"));
}

// The questions the preflight check asks of paths that a run would make: about the nearest
// directory that exists, without making any.
TEST_F(FileUtil, QuestionsAboutPathsNotYetMadeGoToTheNearestExistingDirectory)
{
    const std::wstring inside = JoinPath(m_root, L"sub");
    ASSERT_TRUE(MakeDirectory(inside));
    EXPECT_EQ(NearestExistingDirectory(inside), inside);
    EXPECT_EQ(NearestExistingDirectory(JoinPath(inside, L"a/b/c")), inside);
    EXPECT_EQ(NearestExistingDirectory(JoinPath(inside, L"a/b/c/")), inside);
    EXPECT_EQ(NearestExistingDirectory(L"/no-such-directory-of-the-tests/x"), L"/");
    EXPECT_FALSE(IsDirectory(JoinPath(inside, L"a")));

    EXPECT_TRUE(MayCreateIn(inside));
    chmod(PathToNative(inside).c_str(), 0500);
    EXPECT_EQ(MayCreateIn(inside), geteuid() == 0);
    chmod(PathToNative(inside).c_str(), 0700);
    EXPECT_FALSE(MayCreateIn(L""));

    EXPECT_TRUE(SameVolume(inside, m_root));
    EXPECT_FALSE(SameVolume(inside, L"/proc")) << "/proc is a volume of its own";
    EXPECT_FALSE(SameVolume(JoinPath(inside, L"missing"), inside));
}
