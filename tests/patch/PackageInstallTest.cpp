#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "AddressSpaceLimit.h"
#include "PackageFixtures.h"
#include "kernel/UserText.h"
#include "kernel/UserTextIds.h"
#include "patch/PackageArchive.h"
#include "publish/PackageBuilder.h"
#include "patch/PackageInstall.h"
#include "publish/SampleInstallation.h"

using namespace PackageFixtures;

namespace
{
using Tree = std::map<std::wstring, std::string>;

const std::wstring kLauncherName = L"ZelkLauncher.exe";
const std::string kRealPatchTool = ZELK_BUILD_DIR "/zelk-jptch";

std::wstring LeadsOutside(const std::wstring &path)
{
    return FormatUserText(ZelkPatch::kIdLeadsOutside, path.c_str());
}

void MakeTree(const std::wstring &root, const Tree &tree)
{
    MakeDirectory(root);
    for (const auto &[relative, content] : tree)
        WriteFile(JoinPath(root, relative), content);
}

// Every file below root with its content (directories left out).
Tree ReadTree(const std::wstring &root)
{
    Tree tree;
    for (const std::wstring &entry : ListTree(root))
        if (entry.back() != L'/')
            tree[entry] = ReadFile(JoinPath(root, entry));
    return tree;
}

std::vector<Message> OneMessage(MessageLevel level, const std::wstring &text)
{
    return {Message{level, text}};
}

std::string Repeated(const std::string &piece, size_t times)
{
    std::string text;
    for (size_t i = 0; i < times; ++i)
        text += piece;
    return text;
}

// An installation of the old tree with the patch tool in place, and the package of one step made
// from the old and the new tree by the project's own builder. Both directories have a blank in
// their names, as installations below "Program Files" do.
class PackageInstallTest : public ::testing::Test
{
protected:
    std::wstring Installation() const { return m_scratch / L"Korvil install"; }
    std::wstring Package() const { return m_scratch / L"step package"; }
    std::wstring Target(const std::wstring &relative) const { return JoinPath(Installation(), relative); }
    std::wstring PatchTool() const { return Target(kPatchToolPath); }

    void Prepare(const Tree &oldTree, const Tree &newTree)
    {
        m_oldTree = oldTree;
        m_newTree = newTree;
        MakeTree(m_scratch / L"old", oldTree);
        MakeTree(m_scratch / L"new", newTree);
        std::wstring problem;
        ASSERT_TRUE(BuildPackageArchive(m_scratch / L"old", m_scratch / L"new", m_scratch / L"step.pak", problem))
            << PathToNative(problem);
        ASSERT_TRUE(MakeDirectory(Package()));
        ASSERT_TRUE(UnpackPackageArchive(m_scratch / L"step.pak", Package()));
        MakeTree(Installation(), oldTree);
        InstallTool(std::string());
    }

    // The real patch tool, or a shell script standing in for it when body is not empty.
    void InstallTool(const std::string &body)
    {
        const std::filesystem::path tool = PathToNative(PatchTool());
        std::filesystem::create_directories(tool.parent_path());
        if (body.empty())
            ASSERT_TRUE(std::filesystem::copy_file(kRealPatchTool, tool, std::filesystem::copy_options::overwrite_existing));
        else
            WriteFile(PatchTool(), "#!/bin/sh\n" + body + "\n");
        std::filesystem::permissions(tool, std::filesystem::perms::owner_all, std::filesystem::perm_options::add);
    }

    // The installation as it should look: the given tree plus the patch tool.
    Tree WithTool(Tree tree) const
    {
        tree[kPatchToolPath] = ReadFile(PatchTool());
        return tree;
    }

    bool Install() { return InstallPackage(Installation(), Package(), kLauncherName); }

    void WriteList(const std::wstring &name, const std::string &text) { WriteFile(JoinPath(Package(), name), text); }

    ScratchDirectory m_scratch;
    Tree m_oldTree;
    Tree m_newTree;
};

const Tree kOldTree = {
    {L"bin/Launcher.exe", "old launcher build 100"},
    {L"bin/ZelkLauncher.exe", "old zelk launcher"},
    {L"bin/gone.dll", "library that the new version drops"},
    {L"readme.txt", "unchanged text"},
    {L"data/assets.kdx", Repeated("asset block 0123456789 ", 4000)},
};
const Tree kNewTree = {
    {L"bin/Launcher.exe", "new launcher build 101 with more bytes"},
    {L"bin/ZelkLauncher.exe", "new zelk launcher"},
    {L"bin/KorvilUtil.exe", "the utility, added"},
    {L"readme.txt", "unchanged text"},
    {L"data/assets.kdx", Repeated("asset block 0123456789 ", 2000) + "changed" + Repeated("asset block 0123456789 ", 2000)},
    {L"maps/extra/level.map", "a map in a new directory"},
};
} // namespace

TEST_F(PackageInstallTest, StepTurnsTheOldTreeIntoTheNewAndASecondRunChangesNothing)
{
    Prepare(kOldTree, kNewTree);
    {
        ReportCapture capture;
        EXPECT_TRUE(Install());
        EXPECT_EQ(capture.announced, std::vector<unsigned>{2 + 1 + 3});
        EXPECT_EQ(capture.steps, 6);
        EXPECT_TRUE(capture.TextsAt(MessageError).empty());
        EXPECT_TRUE(capture.TextsAt(MessageMinor).empty());
    }
    EXPECT_EQ(ReadTree(Installation()), WithTool(kNewTree));

    // Applying the same step again is harmless: patched files are recognised, added files copied
    // again and deleted files already gone.
    ReportCapture capture;
    EXPECT_TRUE(Install());
    EXPECT_EQ(ReadTree(Installation()), WithTool(kNewTree));
    EXPECT_TRUE(capture.TextsAt(MessageError).empty());
    const std::vector<std::wstring> minor = {
        UserText(ZelkPatch::kIdAlreadyRemoved) + Target(L"bin/gone.dll"),
        UserText(ZelkPatch::kIdFileAlreadyPatched) + Target(L"bin/Launcher.exe"),
        UserText(ZelkPatch::kIdFileAlreadyPatched) + Target(L"data/assets.kdx"),
        UserText(ZelkPatch::kIdFileAlreadyPatched) + Target(L"bin/ZelkLauncher.exe"),
    };
    EXPECT_EQ(capture.TextsAt(MessageMinor), minor);
}

TEST_F(PackageInstallTest, TheLauncherIsPatchedLast)
{
    Prepare({{L"a/ZelkLauncher.exe", "old a"}, {L"b/x.dll", "old b"}, {L"c/ZelkLauncher.exe", "old c"}},
            {{L"a/ZelkLauncher.exe", "new a"}, {L"b/x.dll", "new b"}, {L"c/ZelkLauncher.exe", "new c"}});
    const std::wstring order = m_scratch / L"order.log";
    InstallTool("echo \"$3\" >> '" + PathToNative(order) + "'\nexec '" + kRealPatchTool + "' \"$@\"");
    ASSERT_TRUE(Install());
    // Only the first record naming the launcher is held back; a later one keeps its place.
    EXPECT_EQ(ReadFile(order), PathToNative(Target(L"b/x.dll")) + "\n" + PathToNative(Target(L"c/ZelkLauncher.exe")) +
                                   "\n" + PathToNative(Target(L"a/ZelkLauncher.exe")) + "\n");
}

TEST_F(PackageInstallTest, MissingListFailsBeforeAnythingChanges)
{
    for (const std::wstring list : {L"addedFiles.txt", L"deletedFiles.txt", L"patchedFiles.txt"})
    {
        SCOPED_TRACE(PathToNative(list));
        DeleteTree(Installation());
        DeleteTree(Package());
        Prepare(kOldTree, kNewTree);
        ASSERT_TRUE(DeleteFileAt(JoinPath(Package(), list)));
        ReportCapture capture;
        EXPECT_FALSE(Install());
        EXPECT_EQ(capture.messages,
                  OneMessage(MessageError, UserText(ZelkPatch::kIdCouldNotOpen) + JoinPath(Package(), list) + UserText(ZelkPatch::kIdNotPresent)));
        EXPECT_TRUE(capture.announced.empty());
        EXPECT_EQ(ReadTree(Installation()), WithTool(kOldTree));
    }
}

// A list that names a path beyond the bounds of a name from outside is damaged: the package is
// refused before anything changes, and a run can learn so before it marks the installation as
// being patched. The line of 100,000 levels once made the directory creation recurse until the
// memory ran out, so the install runs in a child with little address space to spare.
TEST_F(PackageInstallTest, ListNamingAPathBeyondTheBoundsFailsBeforeAnythingChanges)
{
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "a\\";
    for (const std::wstring list : {L"addedFiles.txt", L"deletedFiles.txt", L"patchedFiles.txt"})
    {
        SCOPED_TRACE(PathToNative(list));
        DeleteTree(Installation());
        DeleteTree(Package());
        Prepare(kOldTree, kNewTree);
        WriteList(list, ReadFile(JoinPath(Package(), list)) + deep + "x.txt\r\n0\r\n\r\n");
        const std::vector<Message> refused =
            OneMessage(MessageError, UserText(ZelkPatch::kIdListPathBeyondBounds) + JoinPath(Package(), list));
        EXPECT_EXIT(std::_Exit(RunWithAddressSpaceLimit([&] {
                        ReportCapture capture;
                        if (CheckPackageLists(Package()) || capture.messages != refused)
                            return 1;
                        capture.messages.clear();
                        if (Install() || capture.messages != refused || !capture.announced.empty())
                            return 2;
                        return 0;
                    })),
                    ::testing::ExitedWithCode(0), "");
        EXPECT_EQ(ReadTree(Installation()), WithTool(kOldTree));
    }
    // A sound package passes the check without a word.
    ReportCapture capture;
    DeleteTree(Package());
    ASSERT_TRUE(MakeDirectory(Package()));
    ASSERT_TRUE(UnpackPackageArchive(m_scratch / L"step.pak", Package()));
    EXPECT_TRUE(CheckPackageLists(Package()));
    EXPECT_TRUE(capture.messages.empty());
}

TEST_F(PackageInstallTest, ProblemsFailOnlyTheirOwnEntry)
{
    Prepare(kOldTree, kNewTree);
    const std::string assetsBefore = "not what any list expects";
    WriteFile(Target(L"data/assets.kdx"), assetsBefore);
    ASSERT_TRUE(DeleteFileAt(Target(L"bin/ZelkLauncher.exe")));
    ASSERT_TRUE(DeleteFileAt(Target(L"bin/gone.dll")));
    // A file where the directory of an added file should be.
    WriteFile(Target(L"maps"), "in the way");
    const std::wstring order = m_scratch / L"order.log";
    InstallTool("echo \"$3\" >> '" + PathToNative(order) + "'\nexec '" + kRealPatchTool + "' \"$@\"");

    ReportCapture capture;
    EXPECT_FALSE(Install());
    const std::vector<Message> expected = {
        {MessageError, UserText(ZelkPatch::kIdCannotCreateDirectory) + Target(L"maps/extra")},
        {MessageError, UserText(ZelkPatch::kIdCannotCopy) + Package() + L"/data/maps/extra/level.map"},
        {MessageNormal, UserText(ZelkPatch::kIdFailedAdding) + L"maps/extra/level.map" + UserText(ZelkPatch::kIdEllipsis)},
        {MessageMinor, UserText(ZelkPatch::kIdAlreadyRemoved) + Target(L"bin/gone.dll")},
        {MessageError, UserText(ZelkPatch::kIdDamagedFile) + Target(L"data/assets.kdx")},
        {MessageError, UserText(ZelkPatch::kIdChecksumFailed) + Target(L"bin/ZelkLauncher.exe")},
    };
    EXPECT_EQ(capture.messages, expected);
    // The other entries went through; the damaged file was left alone without starting the tool.
    EXPECT_EQ(ReadFile(Target(L"bin/KorvilUtil.exe")), kNewTree.at(L"bin/KorvilUtil.exe"));
    EXPECT_EQ(ReadFile(Target(L"bin/Launcher.exe")), kNewTree.at(L"bin/Launcher.exe"));
    EXPECT_EQ(ReadFile(Target(L"data/assets.kdx")), assetsBefore);
    EXPECT_EQ(ReadFile(order), PathToNative(Target(L"bin/Launcher.exe")) + "\n");
}

TEST_F(PackageInstallTest, ListChecksumsMustBeLowercase)
{
    Prepare({{L"bin/Launcher.exe", "old"}}, {{L"bin/Launcher.exe", "new"}});
    std::string list = ReadFile(JoinPath(Package(), L"patchedFiles.txt"));
    // Only the checksum lines: the path's case matters to the file system.
    for (size_t c = list.find('\n'); c < list.size(); ++c)
        list[c] = static_cast<char>(std::toupper(static_cast<unsigned char>(list[c])));
    WriteList(L"patchedFiles.txt", list);
    ReportCapture capture;
    EXPECT_FALSE(Install());
    EXPECT_TRUE(capture.Has(MessageError, UserText(ZelkPatch::kIdDamagedFile) + Target(L"bin/Launcher.exe")));
}

TEST_F(PackageInstallTest, ProblemsDeletingAndAdding)
{
    Prepare({{L"bin/gone.dll", "old"}}, {{L"bin/KorvilUtil.exe", "added"}, {L"bin/second.exe", "added"}});
    // Directories where a file should be deleted and where one should be added, and an added file
    // missing from the package.
    ASSERT_TRUE(DeleteFileAt(Target(L"bin/gone.dll")));
    ASSERT_TRUE(MakeDirectory(Target(L"bin/gone.dll/inner")));
    ASSERT_TRUE(MakeDirectory(Target(L"bin/second.exe/inner")));
    ASSERT_TRUE(DeleteFileAt(Package() + L"/data/bin/KorvilUtil.exe"));
    ReportCapture capture;
    EXPECT_FALSE(Install());
    const std::vector<Message> expected = {
        {MessageError, UserText(ZelkPatch::kIdCannotCopy) + Package() + L"/data/bin/KorvilUtil.exe"},
        {MessageNormal, UserText(ZelkPatch::kIdFailedAdding) + L"bin/KorvilUtil.exe" + UserText(ZelkPatch::kIdEllipsis)},
        {MessageError, UserText(ZelkPatch::kIdCannotCopy) + Package() + L"/data/bin/second.exe"},
        {MessageNormal, UserText(ZelkPatch::kIdFailedAdding) + L"bin/second.exe" + UserText(ZelkPatch::kIdEllipsis)},
        {MessageError, UserText(ZelkPatch::kIdCannotDelete) + Target(L"bin/gone.dll")},
    };
    EXPECT_EQ(capture.messages, expected);
    EXPECT_TRUE(IsDirectory(Target(L"bin/second.exe/inner")));
    EXPECT_TRUE(IsDirectory(Target(L"bin/gone.dll/inner")));
}

TEST_F(PackageInstallTest, ListedPathsOutsideTheInstallationAreRefused)
{
    Prepare({}, {});
    const std::wstring outside = m_scratch / L"outside.txt";
    WriteFile(outside, "outside");
    // The package even carries the file the hostile entry would copy.
    WriteFile(Package() + L"/planted.txt", "planted");
    const std::string outsideDigest = "c30163615770c8b2b8873288e828de41";
    WriteList(L"addedFiles.txt", "..\\planted.txt\r\n0\r\n\r\n");
    WriteList(L"deletedFiles.txt", "..\\outside.txt\r\n\r\n0\r\n" + PathToNative(outside) + "\r\n\r\n0\r\n");
    WriteList(L"patchedFiles.txt", "..\\outside.txt\r\n0\r\n" + outsideDigest + "\r\n");

    ReportCapture capture;
    EXPECT_FALSE(Install());
    EXPECT_EQ(capture.TextsAt(MessageError).size(), 4u);
    EXPECT_FALSE(FileExists(m_scratch / L"planted.txt"));
    EXPECT_EQ(ReadFile(outside), "outside");
    EXPECT_EQ(ReadTree(Installation()), WithTool({}));

    // Such entries never reach the uninstall log either.
    WriteList(L"addedFiles.txt", "..\\planted.txt\r\n0\r\n\r\nbin\\KorvilUtil.exe\r\n0\r\n\r\n");
    const std::vector<PackageEntry> added = ReadAddedFileList(Package());
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(added[0].path, L"bin\\KorvilUtil.exe");
}

// The installation's owner has planted links: a directory and a file that lead out of it, and a
// directory that stays inside. Nothing out there is added, deleted, patched or given other
// permissions, each entry that would reach it fails by the name of its file, and the link inside
// works as the directory it stands for.
TEST_F(PackageInstallTest, EntriesThroughLinksOutOfTheInstallationFailByNameAndTouchNothingThere)
{
    Prepare({{L"data/gone.txt", "old gone"}, {L"bin/x.dll", "old x"}, {L"maps/a.map", "old map"}},
            {{L"data/new.txt", "added"}, {L"bin/x.dll", "new x"}, {L"maps/a.map", "new map"}, {L"maps/b.map", "b"}});
    namespace fs = std::filesystem;
    const fs::path outside = PathToNative(m_scratch / L"outside");
    const fs::path install = PathToNative(Installation());
    WriteFile(m_scratch / L"outside/data/gone.txt", "old gone");
    // The content the patch expects, so that only the link keeps it from being patched.
    WriteFile(m_scratch / L"outside/x.dll", "old x");
    fs::permissions(outside / "x.dll", fs::perms::owner_read);
    fs::remove_all(install / "data");
    fs::create_directory_symlink(outside / "data", install / "data");
    fs::remove(install / "bin/x.dll");
    fs::create_symlink(outside / "x.dll", install / "bin/x.dll");
    fs::rename(install / "maps", install / "maps-real");
    fs::create_directory_symlink("maps-real", install / "maps");
    const auto state = [&outside] {
        std::map<std::string, std::string> entries;
        for (const fs::directory_entry &entry : fs::recursive_directory_iterator(outside))
            entries[entry.path().string()] = (entry.is_regular_file() ? testfiles::ReadFile(entry.path()) : "") +
                                             std::to_string(static_cast<int>(entry.status().permissions()));
        return entries;
    };
    const auto before = state();

    ReportCapture capture;
    EXPECT_FALSE(Install());
    EXPECT_EQ(capture.TextsAt(MessageError),
              (std::vector<std::wstring>{LeadsOutside(Target(L"data/new.txt")),
                                         LeadsOutside(Target(L"data/gone.txt")),
                                         LeadsOutside(Target(L"bin/x.dll"))}));
    EXPECT_EQ(state(), before);
    EXPECT_EQ(ReadFile(Target(L"maps-real/a.map")), "new map");
    EXPECT_EQ(ReadFile(Target(L"maps-real/b.map")), "b");
}

namespace
{
struct ToolCase
{
    const char *what;
    std::string script;
    bool succeeds;
    // The level-2 text after "bin/Launcher.exe: "; empty when the report is the path alone.
    std::wstring failure;
};
} // namespace

TEST_F(PackageInstallTest, ToolResultsAndTheDigestOfItsOutput)
{
    const std::wstring oldContent = L"old launcher build 100";
    Prepare({{L"bin/Launcher.exe", PathToNative(oldContent)}}, {{L"bin/Launcher.exe", "new launcher build 101"}});
    const std::wstring backup = Target(L"bin/Launcher.exe.bak");
    const std::wstring difference = Package() + L"/data/bin/Launcher.exe.diff";
    const std::string runRealTool = "'" + kRealPatchTool + "' \"$1\" \"$2\" \"$3\"";
    const std::wstring digestWrong =
        L"The patched file does not have the expected checksum; the original file was put back.";
    const ToolCase cases[] = {
        {"exit 1", "exit 1", false, UserText(ZelkPatch::kIdPatchToolArguments)},
        {"exit 2", "exit 2", false, L"Could not open data file " + backup + L" for reading."},
        {"exit 3", "exit 3", false, L"Could not open patch file " + difference + L" for reading."},
        {"exit 4", "exit 4", false, UserText(ZelkPatch::kIdPatchToolOutputFile)},
        {"exit 3 after writing", "printf partial > \"$3\"; exit 3", false,
         L"Could not open patch file " + difference + L" for reading."},
        {"real tool, then exit 7", runRealTool + "; exit 7", true, L""},
        {"exit 7 with wrong bytes", "printf wrong > \"$3\"; exit 7", false, digestWrong},
        {"exit 0 with wrong bytes", "printf wrong > \"$3\"; exit 0", false, digestWrong},
        {"exit 0 without output", "exit 0", false, digestWrong},
        {"killed by a signal", "printf partial > \"$3\"; kill -KILL $$", false,
         L"The patch tool ended abnormally."},
    };
    for (const ToolCase &test : cases)
    {
        SCOPED_TRACE(test.what);
        WriteFile(Target(L"bin/Launcher.exe"), PathToNative(oldContent));
        InstallTool(test.script);
        ReportCapture capture;
        EXPECT_EQ(Install(), test.succeeds);
        EXPECT_FALSE(FileExists(backup));
        if (test.succeeds)
        {
            EXPECT_EQ(ReadFile(Target(L"bin/Launcher.exe")), "new launcher build 101");
            EXPECT_TRUE(capture.messages.empty());
        }
        else
        {
            // The old file is back in place, whole.
            EXPECT_EQ(ReadFile(Target(L"bin/Launcher.exe")), PathToNative(oldContent));
            EXPECT_EQ(capture.messages,
                      OneMessage(MessageError, L"bin/Launcher.exe: " + test.failure));
        }
    }
}

TEST_F(PackageInstallTest, ToolThatCannotStartFailsTheEntry)
{
    Prepare({{L"bin/Launcher.exe", "old"}}, {{L"bin/Launcher.exe", "new"}});
    ASSERT_TRUE(DeleteFileAt(PatchTool()));
    ReportCapture capture;
    EXPECT_FALSE(Install());
    const std::wstring commandLine = L"\"" + PatchTool() + L"\" \"" + Target(L"bin/Launcher.exe.bak") + L"\" \"" +
                                     Package() + L"/data/bin/Launcher.exe.diff\" \"" + Target(L"bin/Launcher.exe") +
                                     L"\"";
    const std::vector<Message> expected = {{MessageNormal, UserText(ZelkPatch::kIdFailedPatchCommand) + commandLine},
                                           {MessageError, L"bin/Launcher.exe"}};
    EXPECT_EQ(capture.messages, expected);
    EXPECT_EQ(ReadFile(Target(L"bin/Launcher.exe")), "old");
    EXPECT_FALSE(FileExists(Target(L"bin/Launcher.exe.bak")));
}

TEST_F(PackageInstallTest, InterruptedPatchIsFinishedFromItsBackup)
{
    Prepare({{L"bin/Launcher.exe", "old launcher"}, {L"bin/other.dll", "old other"}},
            {{L"bin/Launcher.exe", "new launcher"}, {L"bin/other.dll", "new other"}});
    // One file was moved to its backup and half written, the other moved and its patch tool killed
    // while it wrote the new content beside it.
    ASSERT_TRUE(ReplaceFileAt(Target(L"bin/Launcher.exe"), Target(L"bin/Launcher.exe.bak")));
    WriteFile(Target(L"bin/Launcher.exe"), "new lau");
    ASSERT_TRUE(ReplaceFileAt(Target(L"bin/other.dll"), Target(L"bin/other.dll.bak")));
    WriteFile(Target(L"bin/other.dll.tmp-Ab3dE9"), "new ot");
    ReportCapture capture;
    EXPECT_TRUE(Install());
    EXPECT_TRUE(capture.messages.empty());
    EXPECT_EQ(ReadTree(Installation()), WithTool(m_newTree));
}

TEST_F(PackageInstallTest, ReadOnlyFilesAreReplacedAndStayReadOnly)
{
    Prepare({{L"bin/Launcher.exe", "old launcher"}, {L"bin/gone.dll", "x"}}, {{L"bin/Launcher.exe", "new launcher"}});
    // A read-only utility is in the way of an added file of the same name.
    WriteFile(Target(L"bin/KorvilUtil.exe"), "old util");
    WriteList(L"addedFiles.txt", "bin\\KorvilUtil.exe\r\n0\r\n\r\n");
    WriteFile(Package() + L"/data/bin/KorvilUtil.exe", "new util");
    for (const wchar_t *file : {L"bin/Launcher.exe", L"bin/KorvilUtil.exe", L"bin/gone.dll"})
        ASSERT_TRUE(SetReadOnly(Target(file)));
    ReportCapture capture;
    EXPECT_TRUE(Install());
    EXPECT_TRUE(capture.messages.empty());
    EXPECT_EQ(ReadFile(Target(L"bin/Launcher.exe")), "new launcher");
    EXPECT_TRUE(IsReadOnly(Target(L"bin/Launcher.exe")));
    EXPECT_EQ(ReadFile(Target(L"bin/KorvilUtil.exe")), "new util");
    EXPECT_FALSE(FileExists(Target(L"bin/gone.dll")));
    EXPECT_FALSE(FileExists(Target(L"bin/Launcher.exe.bak")));
}

TEST_F(PackageInstallTest, PatchedFilesKeepTheirPermissionsAndAddedProgramsCanRun)
{
    Prepare({{L"bin/Launcher.exe", "old launcher"}},
            {{L"bin/Launcher.exe", "new launcher"}, {L"bin/KorvilUtil.exe", "#!/bin/sh\nexit 0\n"},
             {L"data/addon.pak", "data"}});
    namespace fs = std::filesystem;
    const auto mode = [&](const wchar_t *relative) { return fs::status(PathToNative(Target(relative))).permissions(); };
    fs::permissions(PathToNative(Target(L"bin/Launcher.exe")), fs::perms(0750));
    ASSERT_TRUE(Install());
    EXPECT_EQ(mode(L"bin/Launcher.exe"), fs::perms(0750));
    EXPECT_NE(mode(L"bin/KorvilUtil.exe") & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(mode(L"data/addon.pak") & fs::perms(0111), fs::perms::none);

    // A failed patch puts the old file back with its permissions too.
    WriteFile(Target(L"bin/Launcher.exe"), "old launcher");
    fs::permissions(PathToNative(Target(L"bin/Launcher.exe")), fs::perms(0750));
    InstallTool("exit 4");
    EXPECT_FALSE(Install());
    EXPECT_EQ(mode(L"bin/Launcher.exe"), fs::perms(0750));
}

TEST_F(PackageInstallTest, CancellationStopsBeforeTheNextEntry)
{
    Prepare(kOldTree, kNewTree);
    ReportCapture capture;
    capture.stepsAllowed = 1;
    EXPECT_FALSE(Install());
    // The first added file went in; each step then asked once more and stopped.
    EXPECT_EQ(capture.steps, 4);
    EXPECT_EQ(ReadFile(Target(L"bin/KorvilUtil.exe")), kNewTree.at(L"bin/KorvilUtil.exe"));
    EXPECT_FALSE(FileExists(Target(L"maps/extra/level.map")));
    EXPECT_TRUE(FileExists(Target(L"bin/gone.dll")));
    EXPECT_EQ(ReadFile(Target(L"bin/Launcher.exe")), kOldTree.at(L"bin/Launcher.exe"));
    EXPECT_TRUE(capture.messages.empty());
}

TEST_F(PackageInstallTest, AddedFileListForTheUninstallLog)
{
    Prepare(kOldTree, kNewTree);
    const std::vector<PackageEntry> added = ReadAddedFileList(Package());
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added[0].path, L"bin\\KorvilUtil.exe");
    EXPECT_EQ(added[1].path, L"maps\\extra\\level.map");
    EXPECT_TRUE(added[0].newChecksum.empty());

    ASSERT_TRUE(DeleteFileAt(JoinPath(Package(), L"addedFiles.txt")));
    ReportCapture capture;
    EXPECT_TRUE(ReadAddedFileList(Package()).empty());
    EXPECT_EQ(capture.messages, OneMessage(MessageError, UserText(ZelkPatch::kIdCouldNotOpen) + JoinPath(Package(), L"addedFiles.txt") + UserText(ZelkPatch::kIdNotPresent)));
}

TEST(PackageList, RecordsOfThreeLinesWithAnyLineEnd)
{
    const struct
    {
        const char *text;
        std::vector<std::vector<std::string>> records;
    } cases[] = {
        {"", {}},
        {"a\\b.exe\r\nnew\r\nold\r\n", {{"a\\b.exe", "new", "old"}}},
        {"a\nn1\no1\nb\nn2\n\n", {{"a", "n1", "o1"}, {"b", "n2", ""}}},
        {"a\rn1\ro1", {{"a", "n1", "o1"}}},
        {"\xEF\xBB\xBF" "a\r\nn\r\n\r\n\r\n\r\n", {{"a", "n", ""}}},
        {"a\r\nn\r\no\r\nb\r\n", {{"a", "n", "o"}, {"b", "", ""}}},
        {"\xC3\x9C" "ber.txt\r\nn\r\n\r\n", {{"\xC3\x9C" "ber.txt", "n", ""}}},
    };
    for (const auto &test : cases)
    {
        SCOPED_TRACE(test.text);
        const std::vector<PackageEntry> entries = ParsePackageList(test.text);
        ASSERT_EQ(entries.size(), test.records.size());
        for (size_t i = 0; i < entries.size(); ++i)
        {
            EXPECT_EQ(entries[i].path, NativeToPath(test.records[i][0]));
            EXPECT_EQ(entries[i].newChecksum, test.records[i][1]);
            EXPECT_EQ(entries[i].oldChecksum, test.records[i][2]);
        }
    }
}

TEST(PackageBuilderTool, RefusesNamesTheArchiveCannotCarry)
{
    ScratchDirectory scratch;
    const struct
    {
        Tree oldTree;
        Tree newTree;
        std::wstring named;
    } cases[] = {
        {{}, {{L"bin/README", "no extension"}}, L"bin/README"},
        {{}, {{L"v1.2/notes.txt", "dotted directory"}}, L"v1.2"},
        {{{L"v1.2/notes.txt", "a"}}, {{L"v1.2/notes.txt", "b"}}, L"v1.2"},
    };
    for (const auto &test : cases)
    {
        SCOPED_TRACE(PathToNative(test.named));
        DeleteTree(scratch / L"old");
        DeleteTree(scratch / L"new");
        MakeTree(scratch / L"old", test.oldTree);
        MakeTree(scratch / L"new", test.newTree);
        const std::string command = "'" ZELK_BUILD_DIR "/zelk-mkpatch' '" + PathToNative(scratch / L"old") + "' '" +
                                    PathToNative(scratch / L"new") + "' '" + PathToNative(scratch / L"out.pak") +
                                    "' 2>'" + PathToNative(scratch / L"errors") + "'";
        const int status = std::system(command.c_str());
        EXPECT_NE(status, 0);
        EXPECT_NE(ReadFile(scratch / L"errors").find(PathToNative(test.named)), std::string::npos)
            << ReadFile(scratch / L"errors");
        EXPECT_FALSE(FileExists(scratch / L"out.pak"));
    }
    // Patched files need no extension of their own (the difference brings one), deleted files
    // are only listed.
    DeleteTree(scratch / L"old");
    DeleteTree(scratch / L"new");
    MakeTree(scratch / L"old", {{L"bin/README", "a"}, {L"x.y/LICENSE", "gone"}});
    MakeTree(scratch / L"new", {{L"bin/README", "b"}});
    std::wstring problem;
    EXPECT_TRUE(BuildPackageArchive(scratch / L"old", scratch / L"new", scratch / L"out.pak", problem))
        << PathToNative(problem);
}

// An added file travels as one block, whose lengths are 32-bit: a larger one (sparse here) is
// refused by name, at once, and no archive is left.
TEST(PackageBuilderTool, RefusesAnAddedFileLongerThanABlock)
{
    ScratchDirectory scratch;
    MakeTree(scratch / L"old", {{L"bin/Launcher.exe", "old"}});
    MakeTree(scratch / L"new", {{L"bin/Launcher.exe", "old"}, {L"data/huge.pak", ""}});
    std::filesystem::resize_file(PathToNative(scratch / L"new/data/huge.pak"), (uint64_t(4) << 30) + 1);
    std::wstring problem;
    EXPECT_FALSE(BuildPackageArchive(scratch / L"old", scratch / L"new", scratch / L"out.pak", problem));
    EXPECT_NE(problem.find(L"data/huge.pak has 4294967297 bytes"), std::wstring::npos) << PathToNative(problem);
    EXPECT_FALSE(FileExists(scratch / L"out.pak"));
}

TEST(PackageBuilderTool, ArchiveLayoutAndLists)
{
    ScratchDirectory scratch;
    MakeTree(scratch / L"old", {{L"bin/Launcher.exe", "old"}, {L"bin/gone.dll", "gone"}, {L"same.txt", "same"}});
    MakeTree(scratch / L"new", {{L"bin/Launcher.exe", "new"}, {L"bin/sub/add.exe", "add"}, {L"same.txt", "same"}});
    PackageBuildSummary summary;
    std::wstring problem;
    ASSERT_TRUE(BuildPackageArchive(scratch / L"old", scratch / L"new", scratch / L"out.pak", problem, &summary));
    EXPECT_EQ(summary.added, 1u);
    EXPECT_EQ(summary.deleted, 1u);
    EXPECT_EQ(summary.patched, 1u);
    EXPECT_EQ(summary.unchanged, 1u);

    // Record names in archive order: directories before their contents, the lists last.
    ZelkDataBufferFile archive(scratch / L"out.pak", ZelkDataBufferFile::AccessRead);
    uint32_t version = 0;
    ASSERT_EQ(archive.Read(&version, sizeof version), ZELKRESULT_OK);
    EXPECT_EQ(version, 1u);
    std::vector<std::wstring> names;
    while (archive.GetPosition() < archive.GetSize())
    {
        ZelkDataBufferMemoryDynamic block;
        ASSERT_EQ(ZelkUtil::DecompressData(block, archive), ZELKRESULT_OK);
        uint32_t count = 0;
        std::memcpy(&count, block.GetData(), sizeof count);
        names.push_back(DecodeUtf16LE(reinterpret_cast<const char *>(block.GetData()) + 4, count));
        if (!ArchiveNameDenotesDirectory(names.back()))
        {
            ZelkDataBufferMemoryDynamic content;
            ASSERT_EQ(ZelkUtil::DecompressData(content, archive), ZELKRESULT_OK);
        }
    }
    const std::vector<std::wstring> expected = {
        L".\\data", L".\\data\\bin", L".\\data\\bin\\Launcher.exe.diff", L".\\data\\bin\\sub",
        L".\\data\\bin\\sub\\add.exe", L".\\addedFiles.txt", L".\\deletedFiles.txt", L".\\patchedFiles.txt"};
    EXPECT_EQ(names, expected);

    ASSERT_TRUE(MakeDirectory(scratch / L"unpacked"));
    ASSERT_TRUE(UnpackPackageArchive(scratch / L"out.pak", scratch / L"unpacked"));
    EXPECT_EQ(ReadFile(scratch / L"unpacked/addedFiles.txt"),
              "bin\\sub\\add.exe\r\n34ec78fcc91ffb1e54cd85e4a0924332\r\n\r\n");
    EXPECT_EQ(ReadFile(scratch / L"unpacked/deletedFiles.txt"), "bin\\gone.dll\r\n\r\n50c1f58be7f5e47e0f53d64c094783c2\r\n");
    EXPECT_EQ(ReadFile(scratch / L"unpacked/patchedFiles.txt"),
              "bin\\Launcher.exe\r\n22af645d1859cb5ca6da0c484f1f37ea\r\n149603e6c03516362a8da23f624db945\r\n");
}

TEST(PackageSampleStep, StepBuiltByTheToolBringsASampleInstallationToTheNextBuild)
{
    ScratchDirectory scratch;
    std::string error;
    const std::wstring tool = NativeToPath(kRealPatchTool);
    ASSERT_TRUE(MakeSampleInstallation(scratch / L"v100", "100", tool, error)) << error;
    ASSERT_TRUE(MakeSampleInstallation(scratch / L"v101", "101", tool, error)) << error;
    ASSERT_TRUE(MakeSampleInstallation(scratch / L"installed", "100", tool, error)) << error;

    const std::string command = "'" ZELK_BUILD_DIR "/zelk-mkpatch' '" + PathToNative(scratch / L"v100") + "' '" +
                                PathToNative(scratch / L"v101") + "' '" + PathToNative(scratch / L"step.pak") +
                                "' > /dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_TRUE(MakeDirectory(scratch / L"package"));
    ASSERT_TRUE(UnpackPackageArchive(scratch / L"step.pak", scratch / L"package"));
    // The uninstall log names its own installation; the step leaves it to the patcher.
    EXPECT_EQ(ReadFile(scratch / L"package/patchedFiles.txt").find("unins000.dat"), std::string::npos);

    ReportCapture capture;
    EXPECT_TRUE(InstallPackage(scratch / L"installed", scratch / L"package", kLauncherName));
    EXPECT_TRUE(capture.TextsAt(MessageError).empty());
    Tree installed = ReadTree(scratch / L"installed");
    Tree expected = ReadTree(scratch / L"v101");
    installed.erase(L"unins000.dat");
    expected.erase(L"unins000.dat");
    EXPECT_TRUE(installed == expected);
    const auto launcherMode = std::filesystem::status(PathToNative(scratch / L"installed/bin/Launcher.exe")).permissions();
    EXPECT_NE(launcherMode & std::filesystem::perms::owner_exec, std::filesystem::perms::none);
}
