// A directory whose owner plants links: what lies outside it is neither read, written, made nor
// removed through any name, whichever way names are resolved, while links that stay inside work.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "TestFiles.h"
#include "kernel/ConfinedDirectory.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"

namespace fs = std::filesystem;

namespace
{
using Resolution = ConfinedDirectory::Resolution;

// Every entry below root, links as their text: the state nothing may change.
std::map<std::string, std::string> Snapshot(const fs::path &root)
{
    std::map<std::string, std::string> entries;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(root))
    {
        const std::string relative = fs::relative(entry.path(), root).string();
        const auto permissions = std::to_string(static_cast<unsigned>(entry.symlink_status().permissions()));
        if (entry.is_symlink())
            entries[relative] = "link to " + fs::read_symlink(entry.path()).string();
        else if (entry.is_directory())
            entries[relative] = "directory " + permissions;
        else
            entries[relative] = testfiles::ReadFile(entry.path()) + " " + permissions;
    }
    return entries;
}

// The directory "root" holds files, links that stay inside and links that lead to its sibling
// "outside", at the top and deeper down.
class ConfinedDirectoryTest : public testing::TestWithParam<Resolution>
{
protected:
    void SetUp() override
    {
        testfiles::WriteFile(Root() / "inside/file.txt", "inside");
        testfiles::WriteFile(Outside() / "secret.txt", "secret");
        fs::create_directories(Outside() / "dir");
        fs::create_directories(Root() / "a/b");
        fs::create_directories(Root() / "deep/er");
        fs::create_symlink("inside/file.txt", Root() / "link-in-file");
        fs::create_directory_symlink("inside", Root() / "link-in-dir");
        fs::create_directory_symlink("../../inside", Root() / "a/b/up");
        fs::create_symlink("../outside/secret.txt", Root() / "link-out-file");
        fs::create_directory_symlink("../outside", Root() / "link-out-dir");
        fs::create_directory_symlink("../../../outside", Root() / "deep/er/link-out");
        fs::create_directory_symlink(Outside(), Root() / "absolute-link");
        fs::create_directory_symlink("link-out-dir", Root() / "link-to-link-out");
        m_outsideBefore = Snapshot(Outside());
        m_directory = std::make_unique<ConfinedDirectory>(NativeToPath(Root().string()), GetParam());
        ASSERT_TRUE(m_directory->IsOpen());
        if (m_directory->ResolutionInUse() != GetParam())
            GTEST_SKIP() << "the kernel cannot resolve beneath a directory";
    }

    fs::path Root() const { return m_temp.Path() / "root"; }
    fs::path Outside() const { return m_temp.Path() / "outside"; }
    const ConfinedDirectory &Directory() const { return *m_directory; }
    void ExpectOutsideUnchanged() const { EXPECT_EQ(Snapshot(Outside()), m_outsideBefore); }

    testfiles::TempDirectory m_temp{"zelk-confined"};
    std::map<std::string, std::string> m_outsideBefore;
    std::unique_ptr<ConfinedDirectory> m_directory;
};

// Names that lead outside: through a file link, through directory links at the top, deeper down
// and in a chain, through an absolute link, by "..", and as an absolute name.
std::vector<std::wstring> NamesLeadingOutside(const fs::path &outside)
{
    return {L"link-out-file",
            L"link-out-dir/secret.txt",
            L"deep/er/link-out/secret.txt",
            L"link-to-link-out/secret.txt",
            L"absolute-link/secret.txt",
            L"../outside/secret.txt",
            L"inside/../../outside/secret.txt",
            L"a\\b\\..\\..\\..\\outside\\secret.txt",
            NativeToPath((outside / "secret.txt").string())};
}

TEST_P(ConfinedDirectoryTest, ReadsFollowLinksThatStayInside)
{
    for (const std::wstring name : {L"inside/file.txt", L"link-in-file", L"link-in-dir/file.txt",
                                    L"a/b/up/file.txt", L"inside/../inside/file.txt", L"a\\b\\up\\file.txt"})
    {
        std::string bytes;
        EXPECT_EQ(Directory().ReadWholeFile(name, bytes, 1024), ZELKRESULT_OK) << PathToNative(name);
        EXPECT_EQ(bytes, "inside") << PathToNative(name);
    }
    uint64_t size = 0;
    EXPECT_EQ(Directory().GetFileSize(L"a/b/up/file.txt", size), ZELKRESULT_OK);
    EXPECT_EQ(size, 6u);
    EXPECT_TRUE(Directory().IsDirectory(L"link-in-dir"));
    EXPECT_TRUE(Directory().IsDirectory(L""));
}

TEST_P(ConfinedDirectoryTest, EveryOperationOnANameThatLeadsOutsideFailsAndChangesNothingThere)
{
    const std::string source = (m_temp.Path() / "source.bin").string();
    testfiles::WriteFile(source, "planted");
    const std::map<std::string, std::function<bool(const std::wstring &)>> operations = {
        {"read", [&](const std::wstring &name) {
             std::string bytes;
             return Directory().ReadWholeFile(name, bytes, 1024) == ZELKRESULT_OK;
         }},
        {"open for writing", [&](const std::wstring &name) {
             FILE *file = Directory().OpenStdioFile(name, "r+b");
             if (file)
                 std::fclose(file);
             return file != nullptr;
         }},
        {"create", [&](const std::wstring &name) {
             FILE *file = Directory().OpenStdioFile(name, "wb");
             if (file)
                 std::fclose(file);
             return file != nullptr;
         }},
        {"copy in", [&](const std::wstring &name) { return Directory().CopyFileFrom(NativeToPath(source), name); }},
        {"copy inside", [&](const std::wstring &name) { return Directory().CopyFile(L"inside/file.txt", name); }},
        {"replace whole", [&](const std::wstring &name) { return WriteWholeFile(Directory(), name, "planted"); }},
        {"delete", [&](const std::wstring &name) { return Directory().DeleteFile(name); }},
        {"rename away", [&](const std::wstring &name) { return Directory().Rename(name, L"inside/taken"); }},
        {"rename over", [&](const std::wstring &name) { return Directory().Rename(L"inside/file.txt", name); }},
        {"make directory", [&](const std::wstring &name) { return Directory().MakeDirectory(name + L"/new"); }},
        {"change permissions", [&](const std::wstring &name) { return Directory().SetPermissions(name, 0777); }},
        {"clear read-only", [&](const std::wstring &name) { return Directory().ClearReadOnly(name); }},
        {"exists", [&](const std::wstring &name) { return Directory().Exists(name); }},
        {"may open", [&](const std::wstring &name) { return Directory().MayOpenForReadWrite(name); }},
    };
    fs::permissions(Outside() / "secret.txt", fs::perms::owner_read);
    m_outsideBefore = Snapshot(Outside());
    for (const std::wstring &name : NamesLeadingOutside(Outside()))
    {
        for (const auto &[what, operation] : operations)
        {
            // The link itself may go or be renamed: the name then no longer leads anywhere.
            if (name == L"link-out-file" && (what == "delete" || what == "rename away" || what == "rename over"))
                continue;
            errno = 0;
            EXPECT_FALSE(operation(name)) << what << " " << PathToNative(name);
            EXPECT_EQ(errno, kNameLeadsOutside) << what << " " << PathToNative(name);
        }
    }
    ExpectOutsideUnchanged();
    EXPECT_EQ(testfiles::ReadFile(Root() / "inside/file.txt"), "inside");
}

TEST_P(ConfinedDirectoryTest, ALinkIsRemovedOrRenamedItselfAndListedByWhereItLeads)
{
    std::vector<DirectoryEntry> entries;
    ASSERT_EQ(Directory().ListDirectory(L"", entries), ZELKRESULT_OK);
    std::map<std::wstring, DirectoryEntry> byName;
    for (const DirectoryEntry &entry : entries)
        byName[entry.name] = entry;
    EXPECT_TRUE(byName[L"link-in-dir"].known && byName[L"link-in-dir"].isDirectory && byName[L"link-in-dir"].isLink);
    EXPECT_TRUE(byName[L"link-in-file"].known && byName[L"link-in-file"].size == 6u);
    for (const wchar_t *out : {L"link-out-file", L"link-out-dir", L"absolute-link"})
        EXPECT_TRUE(!byName[out].known && byName[out].isLink) << PathToNative(out);
    ASSERT_EQ(Directory().ListDirectory(L"a/b/up", entries), ZELKRESULT_OK);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, L"file.txt");
    EXPECT_EQ(Directory().ListDirectory(L"link-out-dir", entries), ZELKRESULT_LIST_FAILED);

    EXPECT_TRUE(Directory().DeleteFile(L"link-out-file"));
    EXPECT_TRUE(Directory().Rename(L"deep/er/link-out", L"deep/moved"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(Root() / "link-out-file")));
    EXPECT_TRUE(fs::is_symlink(Root() / "deep/moved"));
    ExpectOutsideUnchanged();
}

TEST_P(ConfinedDirectoryTest, WritesFollowLinksThatStayInside)
{
    ASSERT_TRUE(WriteWholeFile(Directory(), L"link-in-file", "replaced"));
    EXPECT_TRUE(fs::is_symlink(Root() / "link-in-file"));
    EXPECT_EQ(testfiles::ReadFile(Root() / "inside/file.txt"), "replaced");
    ASSERT_TRUE(Directory().MakeDirectory(L"a/b/up/made/deeper"));
    EXPECT_TRUE(fs::is_directory(Root() / "inside/made/deeper"));
    ASSERT_TRUE(Directory().CopyFile(L"link-in-file", L"link-in-dir/made/copy.txt"));
    EXPECT_EQ(testfiles::ReadFile(Root() / "inside/made/copy.txt"), "replaced");
    ASSERT_TRUE(Directory().SetReadOnly(L"link-in-file"));
    EXPECT_FALSE(Directory().IsReadOnly(L"link-in-file")) << "a link is never read-only itself";
    EXPECT_TRUE(Directory().IsReadOnly(L"inside/file.txt"));
    errno = 0;
    EXPECT_FALSE(Directory().DeleteFile(L"inside/file.txt"));
    EXPECT_EQ(errno, EACCES) << "a read-only file is kept, as on Windows";
    ASSERT_TRUE(Directory().ClearReadOnly(L"link-in-file"));
    EXPECT_TRUE(Directory().DeleteFile(L"link-in-dir/file.txt"));
    EXPECT_FALSE(Directory().Exists(L"link-in-file"));
    errno = 0;
    EXPECT_FALSE(Directory().MakeDirectory(L"inside/made/copy.txt/sub"));
    EXPECT_EQ(errno, EEXIST) << "a file is in the way";
}

// The owner replaces a directory the run has just written into with a link out, and the
// installation's own path with another link out: the next calls neither follow the first nor
// leave the directory that was opened.
TEST_P(ConfinedDirectoryTest, ALinkSwappedInBetweenTwoCallsIsNotFollowed)
{
    ASSERT_TRUE(Directory().MakeDirectory(L"work"));
    ASSERT_TRUE(WriteWholeFile(Directory(), L"work/a.txt", "a"));
    fs::rename(Root() / "work", Root() / "work-before");
    fs::create_directory_symlink("../outside", Root() / "work");
    errno = 0;
    EXPECT_FALSE(WriteWholeFile(Directory(), L"work/b.txt", "b"));
    EXPECT_EQ(errno, kNameLeadsOutside);
    EXPECT_FALSE(Directory().DeleteFile(L"work/secret.txt"));

    fs::rename(Root(), m_temp.Path() / "root-before");
    fs::create_directory_symlink("outside", Root());
    ASSERT_TRUE(WriteWholeFile(Directory(), L"c.txt", "c"));
    EXPECT_EQ(testfiles::ReadFile(m_temp.Path() / "root-before/c.txt"), "c");
    ExpectOutsideUnchanged();
}

TEST_P(ConfinedDirectoryTest, AFifoPlantedAsAFileIsRefusedWithoutWaiting)
{
    ASSERT_EQ(mkfifo((Root() / "inside/fifo").c_str(), 0666), 0);
    const auto start = std::chrono::steady_clock::now();
    std::string bytes;
    EXPECT_EQ(Directory().ReadWholeFile(L"inside/fifo", bytes, 1024), ZELKRESULT_IO);
    EXPECT_EQ(Directory().OpenStdioFile(L"inside/fifo", "r+b"), nullptr);
    EXPECT_FALSE(Directory().MayOpenForReadWrite(L"inside/fifo"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

INSTANTIATE_TEST_SUITE_P(Resolutions, ConfinedDirectoryTest,
                         testing::Values(Resolution::Kernel, Resolution::ComponentWalk),
                         [](const testing::TestParamInfo<Resolution> &info) {
                             return info.param == Resolution::Kernel ? "Kernel" : "ComponentWalk";
                         });

TEST(ConfinedDirectoryChoice, TheWalkStandsInWhereTheKernelCannotOrATestAsksForIt)
{
    testfiles::TempDirectory temp("zelk-confined");
    EXPECT_EQ(ConfinedDirectory(temp.WidePath(), Resolution::ComponentWalk).ResolutionInUse(),
              Resolution::ComponentWalk);
    setenv("ZELK_TEST_NO_OPENAT2", "1", 1);
    EXPECT_EQ(ConfinedDirectory(temp.WidePath()).ResolutionInUse(), Resolution::ComponentWalk);
    unsetenv("ZELK_TEST_NO_OPENAT2");
    const ConfinedDirectory missing(temp.WidePath() + L"/missing");
    EXPECT_FALSE(missing.IsOpen());
    errno = 0;
    EXPECT_FALSE(missing.Exists(L"anything"));
    EXPECT_EQ(errno, EBADF);
}
// The account that plants links, and one more that is neither it nor root.
constexpr uid_t kAccount = 65534;
constexpr uid_t kOtherAccount = 54321;

// The way to an installation, as root and as an account walk it: links that only root (or the
// walking account) could have made are followed, any other is refused by its path.
struct OpeningCase
{
    const char *name;
    // Makes the links and directories below base (root's, mode 0755, holding real/inst).
    std::function<void(const fs::path &base)> plant;
    const char *path;
    uid_t runAs;
    // "opened DIR" (the directory below base it reached), "refused LINK" (below base) or an errno.
    std::string expected;
};

void PrintTo(const OpeningCase &row, std::ostream *out)
{
    *out << row.name;
}

void Own(const fs::path &path, uid_t owner)
{
    ASSERT_EQ(lchown(path.c_str(), owner, owner), 0) << path;
}

void Link(const fs::path &link, const fs::path &target, uid_t owner = 0)
{
    fs::create_directory_symlink(target, link);
    Own(link, owner);
}

void MakeOwnedDirectory(const fs::path &path, mode_t mode, uid_t owner = 0)
{
    fs::create_directories(path);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    Own(path, owner);
}

const OpeningCase kOpeningCases[] = {
    {"PlainPath", [](const fs::path &) {}, "real/inst", 0, "opened real/inst"},
    {"RootsLinkInRootsDirectory", [](const fs::path &base) { Link(base / "via", "real"); }, "via/inst", 0,
     "opened real/inst"},
    {"RootsAbsoluteLink", [](const fs::path &base) { Link(base / "via", base / "real"); }, "via/inst", 0,
     "opened real/inst"},
    {"ParentOfALinksTargetIsTheTargetsParent", [](const fs::path &base) { Link(base / "deep", "real/inst"); },
     "deep/../inst", 0, "opened real/inst"},
    {"AccountsLinkOnTheWay", [](const fs::path &base) { Link(base / "via", "real", kAccount); }, "via/inst", 0,
     "refused via"},
    {"AccountsLinkAsTheInstallationItself", [](const fs::path &base) { Link(base / "inst", "real/inst", kAccount); },
     "inst", 0, "refused inst"},
    {"RootsLinkInADirectoryEveryoneMayWrite",
     [](const fs::path &base) {
         MakeOwnedDirectory(base / "shared", 01777);
         Link(base / "shared/via", "../real");
     },
     "shared/via/inst", 0, "refused shared/via"},
    {"RootsLinkInADirectoryItsGroupMayWrite",
     [](const fs::path &base) {
         MakeOwnedDirectory(base / "group", 0775);
         Link(base / "group/via", "../real");
     },
     "group/via/inst", 0, "refused group/via"},
    {"RootsLinkInTheAccountsDirectory",
     [](const fs::path &base) {
         MakeOwnedDirectory(base / "home", 0755, kAccount);
         Link(base / "home/via", "../real");
     },
     "home/via/inst", 0, "refused home/via"},
    {"RootsLinkLeadingToTheAccountsLink",
     [](const fs::path &base) {
         MakeOwnedDirectory(base / "home", 0755, kAccount);
         Link(base / "home/mine", "../real", kAccount);
         Link(base / "first", "home/mine");
     },
     "first/inst", 0, "refused home/mine"},
    {"LinkLoop", [](const fs::path &base) { Link(base / "loop", "loop"); }, "loop/inst", 0,
     std::to_string(ELOOP)},
    {"FileOnTheWay", [](const fs::path &) {}, "real/inst/marker/more", 0, std::to_string(ENOTDIR)},
    {"MissingDirectory", [](const fs::path &) {}, "real/missing", 0, std::to_string(ENOENT)},
    {"AccountFollowsItsOwnLinkInItsOwnDirectory",
     [](const fs::path &base) {
         MakeOwnedDirectory(base / "home", 0755, kAccount);
         Link(base / "home/mine", "../real", kAccount);
     },
     "home/mine/inst", kAccount, "opened real/inst"},
    {"AccountFollowsRootsLink", [](const fs::path &base) { Link(base / "via", "real"); }, "via/inst", kAccount,
     "opened real/inst"},
    {"AccountRefusesAnotherAccountsLink",
     [](const fs::path &base) {
         MakeOwnedDirectory(base / "home", 0755, kAccount);
         Link(base / "home/theirs", "../real", kOtherAccount);
     },
     "home/theirs/inst", kAccount, "refused home/theirs"},
    {"AccountRefusesItsLinkInAnotherAccountsDirectory",
     [](const fs::path &base) {
         MakeOwnedDirectory(base / "other", 0755, kOtherAccount);
         Link(base / "other/mine", "../real", kAccount);
     },
     "other/mine/inst", kAccount, "refused other/mine"},
};

class ConfinedDirectoryOpeningTest : public testing::TestWithParam<OpeningCase>
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "plants links of other accounts";
        MakeOwnedDirectory(Base(), 0755);
        MakeOwnedDirectory(Base() / "real/inst", 0755);
        testfiles::WriteFile(Base() / "real/inst/marker", "real/inst");
    }

    fs::path Base() const { return m_temp.Path() / "base"; }

    // What opening path gives, as the account runAs (in a child process of that account).
    std::string OpenAs(const std::wstring &path, uid_t runAs)
    {
        if (runAs == 0)
            return Describe(ConfinedDirectory(path));
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0)
            return "no pipe";
        const pid_t child = fork();
        if (child == 0)
        {
            close(pipeEnds[0]);
            if (setgid(runAs) != 0 || setuid(runAs) != 0)
                _exit(1);
            const std::string outcome = Describe(ConfinedDirectory(path));
            _exit(write(pipeEnds[1], outcome.data(), outcome.size()) == ssize_t(outcome.size()) ? 0 : 1);
        }
        close(pipeEnds[1]);
        std::string outcome;
        char buffer[512];
        for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
            outcome.append(buffer, size_t(got));
        close(pipeEnds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        return outcome;
    }

    std::string Describe(const ConfinedDirectory &directory) const
    {
        const int reason = errno;
        std::string marker;
        if (directory.IsOpen())
            return directory.ReadWholeFile(L"marker", marker, 1024) == ZELKRESULT_OK ? "opened " + marker
                                                                                      : "opened, no marker";
        if (!directory.RefusedLink().empty())
        {
            const std::string base = Base().string() + "/";
            const std::string link = PathToNative(directory.RefusedLink());
            const bool below = link.compare(0, base.size(), base) == 0;
            return std::string(reason == kLinkNotTrusted ? "" : "wrong errno, ") + "refused " +
                   (below ? link.substr(base.size()) : link);
        }
        return std::to_string(reason);
    }

    testfiles::TempDirectory m_temp{"zelk-opening"};
};

TEST_P(ConfinedDirectoryOpeningTest, FollowsOnlyLinksNoOtherAccountCouldChange)
{
    ASSERT_EQ(chmod(m_temp.Path().c_str(), 0755), 0);
    const OpeningCase &row = GetParam();
    row.plant(Base());
    EXPECT_EQ(OpenAs(NativeToPath((Base() / row.path).string()), row.runAs), row.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, ConfinedDirectoryOpeningTest, testing::ValuesIn(kOpeningCases),
                         [](const testing::TestParamInfo<OpeningCase> &info) { return std::string(info.param.name); });

// A path swapped for a link to somewhere else after the opening: the held directory stays the one
// opened, and a relative path is walked from where the process stands.
TEST(ConfinedDirectoryOpening, HoldsWhatItOpenedAndWalksARelativePathFromTheWorkingDirectory)
{
    testfiles::TempDirectory temp("zelk-opening");
    testfiles::WriteFile(temp.Path() / "inst/marker", "first");
    testfiles::WriteFile(temp.Path() / "elsewhere/marker", "elsewhere");
    const std::string before = fs::current_path().string();
    fs::current_path(temp.Path());
    const ConfinedDirectory held(L"inst");
    fs::current_path(before);
    fs::rename(temp.Path() / "inst", temp.Path() / "inst-before");
    fs::create_directory_symlink("elsewhere", temp.Path() / "inst");
    std::string marker;
    ASSERT_EQ(held.ReadWholeFile(L"marker", marker, 1024), ZELKRESULT_OK);
    EXPECT_EQ(marker, "first");
    EXPECT_EQ(held.Path(), L"inst");
}

// Root creating in a directory another account owns: each way of creating gives the entry to the
// directory's owner and group, without write permission for others, even under an empty umask;
// what existed keeps its owner, and in root's own directory nothing changes hands.
struct CreationCase
{
    const char *name;
    // Creates the entry name below the directory.
    std::function<bool(const ConfinedDirectory &, const fs::path &scratch)> create;
    const char *created;
};

void PrintTo(const CreationCase &row, std::ostream *out)
{
    *out << row.name;
}

const CreationCase kCreationCases[] = {
    {"FileOpenedForWriting",
     [](const ConfinedDirectory &directory, const fs::path &) {
         FILE *file = directory.OpenStdioFile(L"new.txt", "wb");
         return file && std::fclose(file) == 0;
     },
     "new.txt"},
    {"FileOpenedForAppending",
     [](const ConfinedDirectory &directory, const fs::path &) {
         FILE *file = directory.OpenStdioFile(L"new.txt", "ab");
         return file && std::fclose(file) == 0;
     },
     "new.txt"},
    {"FileWrittenWhole",
     [](const ConfinedDirectory &directory, const fs::path &) { return WriteWholeFile(directory, L"new.txt", "x"); },
     "new.txt"},
    {"FileCopiedIn",
     [](const ConfinedDirectory &directory, const fs::path &scratch) {
         return directory.CopyFileFrom(NativeToPath((scratch / "source").string()), L"new.txt");
     },
     "new.txt"},
    {"FileCopiedWithin",
     [](const ConfinedDirectory &directory, const fs::path &) { return directory.CopyFile(L"existing", L"new.txt"); },
     "new.txt"},
    {"DirectoryAndItsParents",
     [](const ConfinedDirectory &directory, const fs::path &) { return directory.MakeDirectory(L"made/deeper"); },
     "made/deeper"},
};

class ConfinedDirectoryCreationTest : public testing::TestWithParam<CreationCase>
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "shows what root creates for another account";
        m_umask = umask(0);
        testfiles::WriteFile(m_temp.Path() / "source", "source");
        chmod((m_temp.Path() / "source").c_str(), 06777);
        testfiles::WriteFile(Installation() / "existing", "existing");
        chmod((Installation() / "existing").c_str(), 0666);
    }
    void TearDown() override { umask(m_umask); }

    fs::path Installation() const { return m_temp.Path() / "installation"; }

    testfiles::TempDirectory m_temp{"zelk-creation"};
    mode_t m_umask = 022;
};

TEST_P(ConfinedDirectoryCreationTest, WhatRootCreatesIsTheOwnersOfTheDirectory)
{
    const CreationCase &row = GetParam();
    Own(Installation(), kAccount);
    const ConfinedDirectory directory(NativeToPath(Installation().string()));
    ASSERT_TRUE(row.create(directory, m_temp.Path()));
    for (fs::path entry = row.created; !entry.empty(); entry = entry.parent_path())
    {
        struct stat info;
        ASSERT_EQ(lstat((Installation() / entry).c_str(), &info), 0) << entry;
        EXPECT_EQ(info.st_uid, kAccount) << entry;
        EXPECT_EQ(info.st_gid, kAccount) << entry;
        EXPECT_EQ(info.st_mode & (S_ISUID | S_ISGID | S_IWGRP | S_IWOTH), 0u) << entry;
        const mode_t ownersOwn = S_ISDIR(info.st_mode) ? S_IRWXU : (S_IRUSR | S_IWUSR);
        EXPECT_EQ(info.st_mode & ownersOwn, ownersOwn) << entry;
    }
    struct stat existing;
    ASSERT_EQ(lstat((Installation() / "existing").c_str(), &existing), 0);
    EXPECT_EQ(existing.st_uid, 0u) << "only what the run made changes hands";
}

TEST_P(ConfinedDirectoryCreationTest, WhatRootCreatesInItsOwnDirectoryStaysRoots)
{
    const CreationCase &row = GetParam();
    const ConfinedDirectory directory(NativeToPath(Installation().string()));
    ASSERT_TRUE(row.create(directory, m_temp.Path()));
    struct stat info;
    ASSERT_EQ(lstat((Installation() / row.created).c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 0u);
}

INSTANTIATE_TEST_SUITE_P(Rows, ConfinedDirectoryCreationTest, testing::ValuesIn(kCreationCases),
                         [](const testing::TestParamInfo<CreationCase> &info) { return std::string(info.param.name); });
} // namespace
