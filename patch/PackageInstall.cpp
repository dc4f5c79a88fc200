#include "patch/PackageInstall.h"

#include <algorithm>
#include <filesystem>

#include "kernel/ConfinedDirectory.h"
#include "kernel/FileUtil.h"
#include "kernel/ProcessUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/TextConvert.h"
#include "kernel/UserText.h"
#include "kernel/UserTextIds.h"
#include "kernel/ZelkSystemLog.h"
#include "kernel/ZelkTypes.h"
#include "net/ZelkDataBuffer.h"
#include "patch/MD5.h"
#include "patch/PackageArchive.h"

const std::wstring kPatchToolPath = ProductFacts::kPatchToolPath;

namespace
{
const std::wstring kAddedListName = L"addedFiles.txt";
const std::wstring kDeletedListName = L"deletedFiles.txt";
const std::wstring kPatchedListName = L"patchedFiles.txt";
const std::wstring kDataDirectory = L"data";
const std::wstring kBackupSuffix = L".bak";
const std::wstring kDifferenceSuffix = L".diff";
// Far beyond the list of any real step (a million files take some 100 MiB); a larger file is not
// read into memory.
constexpr uint64_t kMaxListSize = 512ull << 20;

// A list path ("\" separated) as a path of this system, relative to the installation.
std::wstring NativeListPath(const std::wstring &path)
{
    std::wstring native = path;
    NormalizeSeparators(native);
    return native;
}

std::wstring ParentDirectory(const std::wstring &path)
{
    const size_t separator = path.rfind(kPathSeparator);
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

// A listed path that would lead outside the installation fails its entry before anything is
// touched.
bool CheckListedPath(const PackageEntry &entry)
{
    if (IsContainedRelativeName(entry.path))
        return true;
    ZelkSystemLogW(L"PackageInstall> refused the listed path %ls", entry.path.c_str());
    ReportMessage(MessageError, UserText(ZelkPatch::kIdRefusedListPath) + NativeListPath(entry.path));
    return false;
}

// True, with the failure reported as one that names the file, when the operation that just failed
// found that name leads outside the installation (a link planted there); nothing outside has
// been touched then.
bool ReportedOutside(const ConfinedDirectory &installation, const std::wstring &name)
{
    if (errno != kNameLeadsOutside)
        return false;
    const std::wstring path = installation.PathOf(name);
    ZelkSystemLogW(L"PackageInstall> %ls leads outside the installation", path.c_str());
    ReportMessage(MessageError, FormatUserText(ZelkPatch::kIdLeadsOutside, path.c_str()));
    return true;
}

uint32_t PermissionBit(std::filesystem::perms permission)
{
    return static_cast<uint32_t>(permission);
}

// The archive carries no permissions; an added file that is a program of this system (a script or
// an ELF image) is made executable, so that the product can start it.
void MakeProgramsExecutable(const ConfinedDirectory &installation, const std::wstring &name)
{
    static const std::string kScriptMagic = "#!";
    static const std::string kElfMagic = "\x7F" "ELF";
    ZelkDataBufferFile file(installation, name, ZelkDataBufferFile::AccessRead);
    std::string start(kElfMagic.size(), '\0');
    if (!file.IsOpen() || file.GetSize() < kScriptMagic.size())
        return;
    start.resize(std::min<uint64_t>(start.size(), file.GetSize()));
    if (file.Read(start.data(), static_cast<uint32_t>(start.size())) != ZELKRESULT_OK)
        return;
    if (start.compare(0, kScriptMagic.size(), kScriptMagic) != 0 && start != kElfMagic)
        return;
    using std::filesystem::perms;
    uint32_t permissions = 0;
    if (!installation.GetPermissions(name, permissions))
        return;
    permissions |= PermissionBit(perms::owner_exec);
    if (permissions & PermissionBit(perms::group_read))
        permissions |= PermissionBit(perms::group_exec);
    if (permissions & PermissionBit(perms::others_read))
        permissions |= PermissionBit(perms::others_exec);
    installation.SetPermissions(name, permissions);
}

bool DigestOf(const ConfinedDirectory &installation, const std::wstring &name, std::string &digest)
{
    std::wstring text;
    if (!HashFileMD5(installation, name, text))
        return false;
    digest = WideToNarrow(text);
    return true;
}

bool OpenList(const std::wstring &package, const std::wstring &name, std::vector<PackageEntry> &entries)
{
    const std::wstring path = JoinPath(package, name);
    std::string text;
    if (ReadWholeFile(path, text, kMaxListSize) != ZELKRESULT_OK)
    {
        ReportMessage(MessageError, UserText(ZelkPatch::kIdCouldNotOpen) + path + UserText(ZelkPatch::kIdNotPresent));
        return false;
    }
    entries = ParsePackageList(text);
    // A path no installation can hold is damage: the whole list fails before anything is done
    // for any entry (the name itself is left out of the report, it may be any length).
    for (const PackageEntry &entry : entries)
    {
        if (!IsWithinUntrustedNameBounds(entry.path))
        {
            ZelkSystemLogW(L"PackageInstall> %ls names a path beyond the bounds", path.c_str());
            ReportMessage(MessageError, UserText(ZelkPatch::kIdListPathBeyondBounds) + path);
            return false;
        }
    }
    return true;
}

// The three lists, in the order they are applied.
bool OpenLists(const std::wstring &package, std::vector<PackageEntry> &added, std::vector<PackageEntry> &deleted,
               std::vector<PackageEntry> &patched)
{
    return OpenList(package, kAddedListName, added) && OpenList(package, kDeletedListName, deleted) &&
           OpenList(package, kPatchedListName, patched);
}

// Quoting by the rules the command line is split with: backslashes count only before a quote.
std::string QuoteArgument(const std::string &argument)
{
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : argument)
    {
        if (c == '\\')
        {
            ++backslashes;
            continue;
        }
        if (c == '"')
            quoted.append(backslashes * 2 + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, '\\');
    quoted += '"';
    return quoted;
}

std::wstring FillInFileName(const std::wstring &text, const std::wstring &fileName)
{
    std::wstring filled = text;
    const size_t placeholder = filled.find(L"%s");
    if (placeholder != std::wstring::npos)
        filled.replace(placeholder, 2, fileName);
    return filled;
}

// The text of a failing exit code of the patch tool; empty for the codes that mean success.
std::wstring PatchToolFailureText(uint32_t exitCode, const std::wstring &backup, const std::wstring &difference)
{
    switch (exitCode)
    {
    case 1:
        return UserText(ZelkPatch::kIdPatchToolArguments);
    case 2:
        return FillInFileName(UserText(ZelkPatch::kIdPatchToolDataFile), backup);
    case 3:
        return FillInFileName(UserText(ZelkPatch::kIdPatchToolPatchFile), difference);
    case 4:
        return UserText(ZelkPatch::kIdPatchToolOutputFile);
    default:
        return std::wstring();
    }
}

// Runs the patch tool on one file. True when it reported success; otherwise failureText says why
// (empty when it could not even be started, which has been reported with its command line).
bool RunPatchTool(const PackageTarget &directories, const std::wstring &backup, const std::wstring &difference,
                  const std::wstring &output,
                  std::wstring &failureText)
{
    // Every path is quoted, the tool's too: an installation below a directory with a blank in its
    // name must still find its tool.
    const std::string commandLine = QuoteArgument(PathToNative(directories.installation.PathOf(kPatchToolPath))) +
                                    " " + QuoteArgument(PathToNative(backup)) + " " +
                                    QuoteArgument(PathToNative(difference)) + " " + QuoteArgument(PathToNative(output));
    std::unique_ptr<ZelkProcess> tool = ZelkProcess::StartInstalled(directories.installation.Path(), commandLine);
    if (!tool)
    {
        ReportMessage(MessageNormal, UserText(ZelkPatch::kIdFailedPatchCommand) + NativeToPath(commandLine));
        return false;
    }
    if (!tool->Wait(kWaitForever) || tool->EndedBySignal() || tool->ExitCode() == kExitCodeFailed)
    {
        ZelkSystemLog("PatchListedFiles> the patch tool did not end normally: %s", commandLine.c_str());
        failureText = UserText(ZelkPatch::kIdToolEndedAbnormally);
        return false;
    }
    failureText = PatchToolFailureText(tool->ExitCode(), backup, difference);
    return failureText.empty();
}

// Puts the backup back over whatever the tool left at the target.
void RestoreBackup(const ConfinedDirectory &installation, const std::wstring &backup, const std::wstring &target)
{
    if (installation.Rename(backup, target))
        return;
    // The old content is still whole in the backup, where the next application finds it.
    ZelkSystemLogW(L"PatchListedFiles> could not put %ls back to %ls", installation.PathOf(backup).c_str(),
                   installation.PathOf(target).c_str());
}

// A run cut short between moving a file to its backup and finishing the patch leaves the file
// missing or half written while the backup holds the old content; that content is put back so
// that the step can be applied again.
bool RecoverFromBackup(const ConfinedDirectory &installation, const std::wstring &backup, const std::wstring &target,
                       const std::string &oldChecksum)
{
    std::string backupDigest;
    if (!installation.Exists(backup) || !DigestOf(installation, backup, backupDigest) || backupDigest != oldChecksum)
        return false;
    if (!installation.Rename(backup, target))
        return false;
    ZelkSystemLogW(L"PatchListedFiles> put %ls back from its backup", installation.PathOf(target).c_str());
    return true;
}

bool AddEntry(const PackageTarget &directories, const PackageEntry &entry)
{
    if (!CheckListedPath(entry))
        return false;
    const ConfinedDirectory &installation = directories.installation;
    const std::wstring relative = NativeListPath(entry.path);
    const std::wstring source = JoinPath(JoinPath(directories.package, kDataDirectory), relative);
    bool ok = true;
    const std::wstring directory = ParentDirectory(relative);
    if (!directory.empty() && !installation.IsDirectory(directory) && !installation.MakeDirectory(directory))
    {
        if (ReportedOutside(installation, relative))
            return false;
        ReportMessage(MessageError, UserText(ZelkPatch::kIdCannotCreateDirectory) + installation.PathOf(directory));
        ok = false;
    }
    if (!installation.CopyFileFrom(source, relative))
    {
        if (ReportedOutside(installation, relative))
            return false;
        // A read-only file in the way is replaced like any other.
        if (!installation.IsDirectory(relative))
        {
            installation.ClearReadOnly(relative);
            installation.DeleteFile(relative);
        }
        if (!installation.CopyFileFrom(source, relative))
        {
            ReportMessage(MessageError, UserText(ZelkPatch::kIdCannotCopy) + source);
            return false;
        }
    }
    MakeProgramsExecutable(installation, relative);
    return ok;
}

bool DeleteEntry(const PackageTarget &directories, const PackageEntry &entry)
{
    if (!CheckListedPath(entry))
        return false;
    const ConfinedDirectory &installation = directories.installation;
    const std::wstring relative = NativeListPath(entry.path);
    const std::wstring target = installation.PathOf(relative);
    if (installation.DeleteFile(relative))
        return true;
    if (ReportedOutside(installation, relative))
        return false;
    if (!installation.Exists(relative))
    {
        ReportMessage(MessageMinor, UserText(ZelkPatch::kIdAlreadyRemoved) + target);
        return true;
    }
    // The package says the file goes; its read-only bit does not keep it.
    if (installation.IsReadOnly(relative) && installation.ClearReadOnly(relative))
    {
        if (installation.DeleteFile(relative))
            return true;
        installation.SetReadOnly(relative);
    }
    ReportMessage(MessageError, UserText(ZelkPatch::kIdCannotDelete) + target);
    return false;
}

bool PatchEntry(const PackageTarget &directories, const PackageEntry &entry)
{
    if (!CheckListedPath(entry))
        return false;
    const ConfinedDirectory &installation = directories.installation;
    const std::wstring relative = NativeListPath(entry.path);
    const std::wstring backupName = relative + kBackupSuffix;
    const std::wstring target = installation.PathOf(relative);
    const std::wstring backup = installation.PathOf(backupName);
    const std::wstring difference = JoinPath(JoinPath(directories.package, kDataDirectory), relative) + kDifferenceSuffix;
    // A patch tool killed in the middle of its work leaves its new file beside the target; the run
    // holds the installation, so such a file is nobody's.
    RemoveAbandonedReplacements(installation, relative);

    std::string digest;
    bool hashed = DigestOf(installation, relative, digest);
    if (!hashed && ReportedOutside(installation, relative))
        return false;
    if ((!hashed || (digest != entry.newChecksum && digest != entry.oldChecksum)) &&
        RecoverFromBackup(installation, backupName, relative, entry.oldChecksum))
    {
        hashed = true;
        digest = entry.oldChecksum;
    }
    if (!hashed)
    {
        ReportMessage(MessageError, UserText(ZelkPatch::kIdChecksumFailed) + target);
        return false;
    }
    if (digest == entry.newChecksum)
    {
        // A run cut short after the tool finished leaves the old content behind in the backup.
        std::string backupDigest;
        if (installation.Exists(backupName) && DigestOf(installation, backupName, backupDigest) &&
            backupDigest == entry.oldChecksum)
            installation.DeleteFile(backupName);
        ReportMessage(MessageMinor, UserText(ZelkPatch::kIdFileAlreadyPatched) + target);
        return true;
    }
    if (digest != entry.oldChecksum)
    {
        ReportMessage(MessageError, UserText(ZelkPatch::kIdDamagedFile) + target);
        return false;
    }

    // The tool writes a new file, which would lose the old one's permissions: a program would no
    // longer start. They are taken now and given to whichever content ends up at the target. A
    // read-only file is patched all the same; its bit is cleared so that the backup can be removed
    // or put back.
    uint32_t permissions = 0;
    const bool permissionsKnown = installation.GetPermissions(relative, permissions);
    const auto restorePermissions = [&] {
        if (permissionsKnown)
            installation.SetPermissions(relative, permissions);
    };
    installation.ClearReadOnly(relative);
    if (!installation.Rename(relative, backupName) &&
        !(installation.CopyFile(relative, backupName) && installation.DeleteFile(relative)))
    {
        restorePermissions();
        if (!ReportedOutside(installation, relative))
            ReportMessage(MessageError, relative + L": " + UserText(ZelkPatch::kIdCannotMakeBackup));
        return false;
    }

    std::wstring failureText;
    bool patched = RunPatchTool(directories, backup, difference, target, failureText);
    if (patched)
    {
        // The tool's word alone is not enough: a wrong difference or a faulty tool must not leave
        // a file that is neither the old nor the new version.
        std::string patchedDigest;
        if (!DigestOf(installation, relative, patchedDigest) || patchedDigest != entry.newChecksum)
        {
            failureText = UserText(ZelkPatch::kIdPatchedChecksumWrong);
            patched = false;
        }
    }
    if (patched)
        installation.DeleteFile(backupName);
    else
        RestoreBackup(installation, backupName, relative);
    restorePermissions();
    if (!patched)
        ReportMessage(MessageError, failureText.empty() ? relative : relative + L": " + failureText);
    return patched;
}
} // namespace

std::vector<PackageEntry> ParsePackageList(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    // A byte-order mark would otherwise become part of the first path.
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        start = 3;
    while (start < text.size())
    {
        const size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos)
        {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n')
            ++start;
    }
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    std::vector<PackageEntry> entries;
    for (size_t line = 0; line < lines.size(); line += 3)
    {
        PackageEntry entry;
        entry.path = NativeToPath(lines[line]);
        if (line + 1 < lines.size())
            entry.newChecksum = lines[line + 1];
        if (line + 2 < lines.size())
            entry.oldChecksum = lines[line + 2];
        entries.push_back(std::move(entry));
    }
    return entries;
}

bool AddListedFiles(const PackageTarget &directories, const std::vector<PackageEntry> &entries)
{
    bool ok = true;
    for (const PackageEntry &entry : entries)
    {
        if (!ReportProgressStep())
            return false;
        if (!AddEntry(directories, entry))
        {
            ReportMessage(MessageNormal, UserText(ZelkPatch::kIdFailedAdding) + NativeListPath(entry.path) +
                                             UserText(ZelkPatch::kIdEllipsis));
            ok = false;
        }
    }
    return ok;
}

bool DeleteListedFiles(const PackageTarget &directories, const std::vector<PackageEntry> &entries)
{
    bool ok = true;
    for (const PackageEntry &entry : entries)
    {
        if (!ReportProgressStep())
            return false;
        if (!DeleteEntry(directories, entry))
            ok = false;
    }
    return ok;
}

bool PatchListedFiles(const PackageTarget &directories, const std::vector<PackageEntry> &entries)
{
    unsigned failures = 0;
    for (const PackageEntry &entry : entries)
    {
        if (!ReportProgressStep())
            return false;
        if (!PatchEntry(directories, entry))
            ++failures;
    }
    return failures == 0;
}

bool InstallPackage(const std::wstring &installation, const std::wstring &package, const std::wstring &launcherName)
{
    return InstallPackage(ConfinedDirectory(installation), package, launcherName);
}

bool InstallPackage(const ConfinedDirectory &installation, const std::wstring &package,
                    const std::wstring &launcherName)
{
    const PackageTarget directories{installation, package};

    std::vector<PackageEntry> added;
    std::vector<PackageEntry> deleted;
    std::vector<PackageEntry> patched;
    if (!OpenLists(package, added, deleted, patched))
        return false;

    // The launcher identifies the installed build, so it changes last: a run cut short still
    // finds the old build and applies the step again.
    if (!launcherName.empty())
    {
        const auto launcher = std::find_if(patched.begin(), patched.end(), [&](const PackageEntry &entry) {
            return entry.path.find(launcherName) != std::wstring::npos;
        });
        if (launcher != patched.end())
            std::rotate(launcher, launcher + 1, patched.end());
    }

    ReportProgressBegin(static_cast<unsigned>(added.size() + deleted.size() + patched.size()));
    const bool addedOk = AddListedFiles(directories, added);
    const bool deletedOk = DeleteListedFiles(directories, deleted);
    const bool patchedOk = PatchListedFiles(directories, patched);
    return addedOk && deletedOk && patchedOk;
}

bool CheckPackageLists(const std::wstring &package)
{
    std::vector<PackageEntry> added;
    std::vector<PackageEntry> deleted;
    std::vector<PackageEntry> patched;
    return OpenLists(package, added, deleted, patched);
}

std::vector<PackageEntry> ReadAddedFileList(const std::wstring &package)
{
    std::vector<PackageEntry> entries;
    if (!OpenList(package, kAddedListName, entries))
        return {};
    std::vector<PackageEntry> paths;
    for (const PackageEntry &entry : entries)
    {
        if (IsContainedRelativeName(entry.path))
            paths.push_back(PackageEntry{entry.path, std::string(), std::string()});
    }
    return paths;
}
