// The fixed facts of the product this program patches, named once: paths below its installation,
// its registry keys and value names, and the arguments of its utility. Every layer may read them.
#pragma once

namespace ProductFacts
{
// Below the installation directory.
inline constexpr wchar_t kLauncherPath[] = L"bin/Launcher.exe";
// The name the launcher goes by in package lists, whose paths use "\".
inline constexpr wchar_t kLauncherName[] = L"Launcher.exe";
inline constexpr wchar_t kProductExecutablePath[] = L"bin/Korvil.exe";
inline constexpr wchar_t kProductExecutableName[] = L"Korvil.exe";
inline constexpr wchar_t kBinDirectory[] = L"bin/";
inline constexpr wchar_t kPatchToolPath[] = L"bin/jpatchl-w32.exe";
inline constexpr wchar_t kUtilityPath[] = L"bin/KorvilUtil.exe";
inline constexpr char kUtilityArguments[] = "repairdatabase patcher";
inline constexpr wchar_t kAssetDatabaseName[] = L"assets.kdx";
inline constexpr wchar_t kUninstallLogName[] = L"unins000.dat";
inline constexpr wchar_t kUninstallerName[] = L"unins000.exe";
inline constexpr wchar_t kRepairSummaryName[] = L"repair.cks";
// The SHA-256 of every segment whose checksum the summary holds, kept beside the summary so that a
// repair from a web server reads each unchanged segment once.
inline constexpr wchar_t kRepairDigestsName[] = L"repair.sha";
inline constexpr wchar_t kStepJournalName[] = L"patch-journal.txt";

// Registry (below HKEY_LOCAL_MACHINE).
inline constexpr wchar_t kSettingsKey[] = L"Software\\Pelmo";
inline constexpr wchar_t kProductsKey[] = L"SOFTWARE\\Pelmo\\Products";
inline constexpr wchar_t kProductKeyName[] = L"KorvilSimulator";
inline constexpr wchar_t kProductKey[] = L"Software\\Pelmo\\Products\\KorvilSimulator";
inline constexpr wchar_t kProductClass[] = L"Korvil";
inline constexpr wchar_t kClassValue[] = L"ProductClass";
inline constexpr wchar_t kInstallPathValue[] = L"ProductInstallPath";
inline constexpr wchar_t kPatchingMarkerValue[] = L"IsPatching";
inline constexpr wchar_t kPageHostValue[] = L"PatcherPageHost";
inline constexpr wchar_t kRepairServerValue[] = L"RepairServer";
// The web address of the signed repair manifest a repair server's records are checked against.
inline constexpr wchar_t kRepairManifestValue[] = L"RepairManifest";
} // namespace ProductFacts
