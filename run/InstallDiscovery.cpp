#include "run/InstallDiscovery.h"

#include <cwctype>
#include <memory>

#include "kernel/ConfinedDirectory.h"
#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/Registry.h"
#include "kernel/RunningExecutable.h"
#include "kernel/TextConvert.h"
#include "patch/MD5.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "run/StepPlan.h"

namespace ZelkPatch
{
namespace
{
using ProductFacts::kBinDirectory;
using ProductFacts::kClassValue;
using ProductFacts::kInstallPathValue;
using ProductFacts::kLauncherPath;
using ProductFacts::kProductsKey;
const wchar_t *const kLocateFilter = L"Korvil.exe|Korvil.exe";

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
    return FindProductInstallPath(ProductFacts::kProductKeyName, ProductFacts::kProductClass);
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

PayloadCheck CheckStandalonePayload(const std::wstring &exePath, bool browseOnly, PatchPayload &payload,
                                    PatchSettings &settings, RunObserver &observer)
{
    PayloadCheck check;
    const ZELKRESULT opened = payload.Open(exePath);
    if (opened == ZELKRESULT_UNSUPPORTED)
        return check;
    if (opened != ZELKRESULT_OK)
    {
        observer.Message(MessageError, LoadMessage(kIdPayloadReadError));
        return check;
    }
    check.payloadFound = true;

    // The installation the registry names is looked at through the settings' own hold on it
    // when it is theirs, as the run will be.
    std::shared_ptr<const ConfinedDirectory> installation;
    const std::wstring registered = browseOnly ? std::wstring() : FindKorvilInstallPath();
    if (!registered.empty())
        installation = registered == settings.InstallPath() ? settings.HeldInstallation()
                                                            : std::make_shared<const ConfinedDirectory>(registered);
    std::wstring buildHash;
    for (;;)
    {
        if (installation)
        {
            if (HashFileMD5(*installation, kLauncherPath, buildHash))
                break;
            if (!installation->RefusedLink().empty())
                observer.Message(MessageError,
                                 FormatCatalogueText(kIdLinkNotTrusted, installation->RefusedLink().c_str()));
            else if (errno == kNameLeadsOutside)
                observer.Message(MessageError,
                                 FormatCatalogueText(kIdLeadsOutside, installation->PathOf(kLauncherPath).c_str()));
            observer.Message(MessageError, LoadMessage(kIdNoBuildVersion));
        }
        else if (!browseOnly)
        {
            observer.Message(MessageError, LoadMessage(kIdRequestingLocation));
        }
        std::wstring picked;
        if (!observer.AskExistingFile(LoadMessage(kIdLocateTitle), kLocateFilter, picked))
        {
            observer.Message(MessageError, LoadMessage(kIdLocateCancelled));
            return check;
        }
        // Opened anew, also when the same directory is picked again: it may have changed.
        installation = std::make_shared<const ConfinedDirectory>(InstallDirectoryOfPick(picked));
        settings.SetInstallation(installation);
    }

    const std::string target = payload.TargetVersion();
    // A step cut short by a crash leaves its journal: the installation is still at the step's
    // source, whatever the launcher says, and the run finishes that step first.
    const std::string version =
        StepPlan::ForPayload(payload, *installation, payload.LookupBuild(WideToNarrow(buildHash)), target).StartVersion();
    if (version.empty())
    {
        observer.Message(MessageError, LoadMessage(kIdBuildNotApplicable));
        observer.Message(MessageNormal, FormatCatalogueText(kIdBuildHash, buildHash.c_str()));
        return check;
    }
    if (version == target)
    {
        observer.Message(MessageNormal, LoadMessage(kIdAlreadyPatched));
        check.upToDate = true;
        return check;
    }

    settings.SetCurrentVersion(version);
    settings.SetNextVersion(std::string());
    settings.SetFinalVersion(target);
    settings.SetRepairMode(false);
    settings.SetLocalMode(true);
    observer.Message(MessageNormal, LoadMessage(kIdReady));
    observer.Message(MessageNormal, FormatCatalogueText(kIdCurrentVersion, NarrowToWide(version).c_str()));
    if (!target.empty())
        observer.Message(MessageNormal, FormatCatalogueText(kIdTargetVersion, NarrowToWide(target).c_str()));
    observer.Message(MessageNormal, std::wstring());
    check.ready = true;
    return check;
}
} // namespace ZelkPatch
