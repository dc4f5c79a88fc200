// Catalogue ids of the texts the application shows, named once.
#pragma once

namespace ZelkPatch
{
// The descriptions of the command line's options.
constexpr unsigned kIdOptionHelp = 121;
constexpr unsigned kIdOptionAdmin = 122;
constexpr unsigned kIdOptionCurrent = 123;
constexpr unsigned kIdOptionList = 124;
constexpr unsigned kIdOptionServer = 125;
constexpr unsigned kIdOptionFinal = 126;
constexpr unsigned kIdOptionTarget = 127;
constexpr unsigned kIdOptionRepair = 129;
constexpr unsigned kIdOptionOnExit = 130;
constexpr unsigned kIdAdminText = 132;
constexpr unsigned kIdAdminCaption = 134;
constexpr unsigned kIdServerFailed = 135;
constexpr unsigned kIdServerListFailed = 136;
constexpr unsigned kIdProcessFailed = 138;
constexpr unsigned kIdSearchingPatches = 141;
constexpr unsigned kIdFinalVersionReached = 142;
constexpr unsigned kIdNoMorePatches = 143;
constexpr unsigned kIdSizeUnknown = 144;
constexpr unsigned kIdNoTempFile = 145;
constexpr unsigned kIdNoTempDirectory = 146;
constexpr unsigned kIdDownloading = 147;
constexpr unsigned kIdDownloadFailed = 148;
constexpr unsigned kIdUnpacking = 149;
constexpr unsigned kIdUnpackFailed = 150;
constexpr unsigned kIdPatching = 151;
constexpr unsigned kIdApplyFailed = 152;
constexpr unsigned kIdUninstallLogFailed = 153;
constexpr unsigned kIdNeedsAdmin = 154;
constexpr unsigned kIdFilesInUse = 157;
constexpr unsigned kIdFilesInUseText = 158;
constexpr unsigned kIdFilesInUseCaption = 159;
constexpr unsigned kIdPatchingCompleted = 162;
constexpr unsigned kIdPatchingAborted = 163;
constexpr unsigned kIdPatchingInstall = 171;
constexpr unsigned kIdRepairingInstall = 172;
constexpr unsigned kIdRepair = 173;
constexpr unsigned kIdProgressHours = 174;
constexpr unsigned kIdProgressMinutes = 175;
constexpr unsigned kIdExtractFailed = 178;
constexpr unsigned kIdStepNotApplicable = 179;
constexpr unsigned kIdPatchingFromTo = 180;
constexpr unsigned kIdPayloadReadError = 181;
constexpr unsigned kIdNoBuildVersion = 183;
constexpr unsigned kIdBuildNotApplicable = 184;
constexpr unsigned kIdBuildHash = 185;
constexpr unsigned kIdAlreadyPatched = 186;
constexpr unsigned kIdReady = 187;
constexpr unsigned kIdCurrentVersion = 188;
constexpr unsigned kIdTargetVersion = 189;
constexpr unsigned kIdDiskSpaceShort = 240;
constexpr unsigned kIdCheckingDiskSpace = 241;
constexpr unsigned kIdDiskSpaceUnknown = 242;
constexpr unsigned kIdOptionUnattended = 243;
constexpr unsigned kIdOptionCheck = 244;
// A file whose name leads outside the installation through a link planted in it.
constexpr unsigned kIdLeadsOutside = 300;
constexpr unsigned kIdRegistryLockHeld = 320;
// A repair from a web server, and a repair server checked against a signed manifest.
constexpr unsigned kIdRepairManifestUnavailable = 350;
constexpr unsigned kIdRepairManifestDamaged = 351;
constexpr unsigned kIdRepairManifestUnsigned = 352;
constexpr unsigned kIdRepairManifestWrongSignature = 353;
constexpr unsigned kIdRepairManifestReplayed = 354;
constexpr unsigned kIdRepairManifestSerialUnreadable = 355;
constexpr unsigned kIdRepairManifestNotConfigured = 356;
constexpr unsigned kIdRepairRecordNotVouched = 357;
constexpr unsigned kIdRepairDataMismatch = 358;
constexpr unsigned kIdRepairNoRanges = 359;
// Steps that lead back to a version already reached.
constexpr unsigned kIdPayloadLeadsBack = 380;
constexpr unsigned kIdListLeadsBack = 381;
constexpr unsigned kIdStepsLeadBack = 382;
constexpr unsigned kIdOptionVersion = 400;
constexpr unsigned kIdWindowUnavailable = 401;
constexpr unsigned kIdNoDisplayNamed = 402;
constexpr unsigned kIdDisplayNotOpened = 403;
} // namespace ZelkPatch
