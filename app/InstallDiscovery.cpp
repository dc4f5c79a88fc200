#include "app/InstallDiscovery.h"

#include <cwctype>
#include <memory>

#include "app/FrameHooks.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "app/PatchSettings.h"
#include "app/PatchThread.h"
#include "app/UserDialogs.h"
#include "kernel/FileUtil.h"
#include "kernel/Registry.h"
#include "kernel/RunningExecutable.h"
#include "kernel/TextConvert.h"
#include "patch/MD5.h"
#include "patch/PatchPayload.h"

namespace ZelkPatch
{
namespace
{
const wchar_t *const kProductsKey = L"SOFTWARE\\Pelmo\\Products";
const wchar_t *const kClassValue = L"ProductClass";
const wchar_t *const kInstallPathValue = L"ProductInstallPath";
const wchar_t *const kProductKey = L"KorvilSimulator";
const wchar_t *const kProductClass = L"Korvil";
const wchar_t *const kLauncher = L"bin/Launcher.exe";
const wchar_t *const kBinDirectory = L"bin/";
const wchar_t *const kLocateTitle = L"Locate Korvil.exe...";
const wchar_t *const kLocateFilter = L"Korvil.exe|Korvil.exe";
const wchar_t *const kRequestingLocation =
    L"Unable to determine Korvil installation path. Requesting user to specify installation location.\n";
const wchar_t *const kLocateCancelled =
    L"Unable to determine installation location. Aborted patching at user's request.";

bool EqualIgnoringCase(const std::wstring &first, const std::wstring &second)
{
    if (first.size() != second.size())
        return false;
    for (size_t i = 0; i < first.size(); ++i)
    {
        if (std::towlower(first[i]) != std::towlower(second[i]))
            return false;
    }
    return true;
}

bool IsSeparator(wchar_t c)
{
    return c == L'/' || c == L'\\';
}

// Everything up to and including the last separator, trailing separators of the whole path
// ignored; empty when there is none.
std::wstring DirectoryWithSeparator(const std::wstring &path)
{
    size_t end = path.size();
    while (end > 0 && IsSeparator(path[end - 1]))
        --end;
    while (end > 0 && !IsSeparator(path[end - 1]))
        --end;
    return path.substr(0, end);
}

bool EndsWithBinDirectory(const std::wstring &directory)
{
    const std::wstring bin = kBinDirectory;
    if (directory.size() < bin.size())
        return false;
    std::wstring tail = directory.substr(directory.size() - bin.size());
    NormalizeSeparators(tail);
    // A directory named only "bin/" is relative to nothing; it stays as it is.
    return EqualIgnoringCase(tail, bin) &&
           (directory.size() == bin.size() || IsSeparator(directory[directory.size() - bin.size() - 1]));
}
} // namespace

std::wstring FindProductInstallPath(const std::wstring &productKey, const std::wstring &productClass)
{
    if (productKey.empty())
        return std::wstring();
    if (!RegistryKey::Open(kProductsKey, false))
        return std::wstring();
    std::unique_ptr<RegistryKey> product = RegistryKey::Open(std::wstring(kProductsKey) + L"\\" + productKey, false);
    if (!product)
        return std::wstring();
    std::wstring result;
    std::wstring name;
    for (uint32_t index = 0; product->EnumSubKey(index, name); ++index)
    {
        std::unique_ptr<RegistryKey> installation =
            RegistryKey::Open(std::wstring(kProductsKey) + L"\\" + productKey + L"\\" + name, false);
        if (!installation)
            continue;
        std::wstring installClass;
        installation->QueryString(kClassValue, installClass);
        if (!productClass.empty() && !EqualIgnoringCase(installClass, productClass))
            continue;
        std::wstring path;
        // Later installations win: the enumeration goes on.
        if (installation->QueryString(kInstallPathValue, path) && !path.empty())
            result = path;
    }
    return result;
}

std::wstring FindKorvilInstallPath()
{
    return FindProductInstallPath(kProductKey, kProductClass);
}

std::wstring InstallDirectoryOfPick(const std::wstring &pickedFile)
{
    std::wstring directory = DirectoryWithSeparator(pickedFile);
    if (EndsWithBinDirectory(directory))
        directory = DirectoryWithSeparator(directory);
    return directory;
}

std::wstring RunningExecutableForDiscovery()
{
    return RunningExecutableImage();
}

bool CheckStandalonePayload(const std::wstring &exePath, bool browseOnly, RunDisplay &display)
{
    PatchPayload &payload = ThePatchPayload();
    const ZELKRESULT opened = payload.Open(exePath);
    if (opened == ZELKRESULT_UNSUPPORTED)
        return false;
    if (opened != ZELKRESULT_OK)
    {
        PostFrameMessage(MessageError, LoadMessage(kIdPayloadReadError));
        return false;
    }
    display.EnableBrowse();

    PatchSettings &settings = PatchSettings::Get();
    std::wstring candidate = browseOnly ? std::wstring() : FindKorvilInstallPath();
    std::wstring buildHash;
    for (;;)
    {
        if (!candidate.empty())
        {
            if (FileExists(JoinPath(candidate, kLauncher)) && HashFileMD5(JoinPath(candidate, kLauncher), buildHash))
                break;
            PostFrameMessage(MessageError, LoadMessage(kIdNoBuildVersion));
        }
        else if (!browseOnly)
        {
            PostFrameMessage(MessageError, kRequestingLocation);
        }
        std::wstring picked;
        if (!Dialogs().ChooseExistingFile(display.DialogParent(), kLocateTitle, kLocateFilter, picked))
        {
            PostFrameMessage(MessageError, kLocateCancelled);
            return false;
        }
        candidate = InstallDirectoryOfPick(picked);
        settings.SetInstallPath(candidate);
    }

    std::string version = payload.LookupBuild(WideToNarrow(buildHash));
    // A step cut short by a crash leaves its journal: the installation is still at the step's
    // source, whatever the launcher says, and the run finishes that step first.
    StepJournal journal;
    if (ReadStepJournal(candidate, journal) && !payload.NextVersion(journal.source).empty())
        version = journal.source;
    if (version.empty())
    {
        PostFrameMessage(MessageError, LoadMessage(kIdBuildNotApplicable));
        PostFrameMessage(MessageNormal, FormatCatalogueText(kIdBuildHash, buildHash.c_str()));
        return false;
    }
    const std::string target = payload.TargetVersion();
    if (version == target)
    {
        PostFrameMessage(MessageError, LoadMessage(kIdAlreadyPatched));
        return false;
    }

    settings.SetCurrentVersion(version);
    settings.SetNextVersion(std::string());
    settings.SetFinalVersion(target);
    settings.SetRepairMode(false);
    settings.SetLocalMode(true);
    PostFrameMessage(MessageNormal, LoadMessage(kIdReady));
    display.EnableApply();
    PostFrameMessage(MessageNormal, FormatCatalogueText(kIdCurrentVersion, NarrowToWide(version).c_str()));
    if (!target.empty())
        PostFrameMessage(MessageNormal, FormatCatalogueText(kIdTargetVersion, NarrowToWide(target).c_str()));
    PostFrameMessage(MessageNormal, std::wstring());
    return true;
}
} // namespace ZelkPatch
