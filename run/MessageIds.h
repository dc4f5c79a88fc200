// Catalogue ids of the texts the application shows, named once; those the layers below show are
// in kernel/UserTextIds.h.
#pragma once

#include "kernel/UserTextIds.h"

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
// The window's buttons and its cancel question.
constexpr unsigned kIdApplyUpdate = 190;
constexpr unsigned kIdCancel = 191;
constexpr unsigned kIdExit = 192;
constexpr unsigned kIdReallyCancel = 193;
constexpr unsigned kIdCancelling = 194;
constexpr unsigned kIdDiskSpaceShort = 240;
constexpr unsigned kIdCheckingDiskSpace = 241;
constexpr unsigned kIdDiskSpaceUnknown = 242;
constexpr unsigned kIdOptionUnattended = 243;
constexpr unsigned kIdOptionCheck = 244;
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
// Why a downloaded archive is not the one its signed list names.
constexpr unsigned kIdArchiveNoDigest = 515;
constexpr unsigned kIdArchiveMalformed = 516;
constexpr unsigned kIdArchiveSizeDiffers = 517;
constexpr unsigned kIdArchiveDigestDiffers = 518;
constexpr unsigned kIdArchiveUnreadable = 519;
// Signing and the patch list.
constexpr unsigned kIdPublisherKeyUnusable = 530;
constexpr unsigned kIdPayloadRefused = 531;
constexpr unsigned kIdStepNotUsed = 532;
constexpr unsigned kIdArchiveRefused = 533;
constexpr unsigned kIdArchiveTooLarge = 534;
constexpr unsigned kIdListSerialNotKept = 535;
// The repair run: its stages and its errors.
constexpr unsigned kIdNoRepairServer = 540;
constexpr unsigned kIdScanFailed = 541;
constexpr unsigned kIdConnectFailed = 542;
constexpr unsigned kIdRepairFailed = 543;
constexpr unsigned kIdInternalError = 544;
constexpr unsigned kIdSegmentsUpdated = 545;
constexpr unsigned kIdErrorInStage = 546;
constexpr unsigned kIdStageScanning = 547;
constexpr unsigned kIdStageConnecting = 548;
constexpr unsigned kIdStagePreparing = 549;
constexpr unsigned kIdStageReceiving = 550;
// The asset database, the installation's location and the start-up.
constexpr unsigned kIdUpdatingDatabase = 555;
constexpr unsigned kIdUtilityNotStarted = 556;
constexpr unsigned kIdUtilityFailed = 557;
constexpr unsigned kIdRequestingLocation = 558;
constexpr unsigned kIdLocateCancelled = 559;
constexpr unsigned kIdLocateTitle = 560;
constexpr unsigned kIdNoValidOperation = 561;
// The preflight report.
constexpr unsigned kIdCheckTitle = 570;
constexpr unsigned kIdCheckInstallation = 571;
constexpr unsigned kIdCheckElevation = 572;
constexpr unsigned kIdCheckYes = 573;
constexpr unsigned kIdCheckNo = 574;
constexpr unsigned kIdCheckNotWritable = 575;
constexpr unsigned kIdCheckProductRunning = 576;
constexpr unsigned kIdCheckProductHolds = 577;
constexpr unsigned kIdCheckModeRepair = 578;
constexpr unsigned kIdCheckModeStandalone = 579;
constexpr unsigned kIdCheckModeDownload = 580;
constexpr unsigned kIdCheckPayloadUntrusted = 581;
constexpr unsigned kIdCheckKeyUnusable = 582;
constexpr unsigned kIdCheckNoList = 583;
constexpr unsigned kIdCheckPatchList = 584;
constexpr unsigned kIdCheckNoOperation = 585;
constexpr unsigned kIdCheckResumedStep = 586;
constexpr unsigned kIdCheckCurrentVersion = 587;
constexpr unsigned kIdCheckTargetVersion = 588;
constexpr unsigned kIdCheckNoTarget = 589;
constexpr unsigned kIdCheckStepNotVouched = 590;
constexpr unsigned kIdCheckArchiveSize = 591;
constexpr unsigned kIdCheckStep = 592;
constexpr unsigned kIdCheckStepSizeUnknown = 593;
constexpr unsigned kIdCheckAtTarget = 594;
constexpr unsigned kIdCheckNoStepFrom = 595;
constexpr unsigned kIdCheckPayloadNoStep = 596;
constexpr unsigned kIdCheckDownload = 597;
constexpr unsigned kIdCheckDownloadSomeUnknown = 598;
constexpr unsigned kIdCheckArchiveBytes = 599;
constexpr unsigned kIdCheckArchiveBytesSomeUnknown = 600;
constexpr unsigned kIdCheckTempAndInstall = 601;
constexpr unsigned kIdCheckThenPackageFiles = 602;
constexpr unsigned kIdCheckTemp = 603;
constexpr unsigned kIdCheckThenUnpacked = 604;
constexpr unsigned kIdCheckInstall = 605;
constexpr unsigned kIdCheckPackageFiles = 606;
constexpr unsigned kIdCheckVolume = 607;
constexpr unsigned kIdCheckVolumeFreeUnknown = 608;
constexpr unsigned kIdCheckTooLittleSpace = 609;
constexpr unsigned kIdCheckGoAhead = 610;
constexpr unsigned kIdCheckNotGoAhead = 611;
// The command line's usage and its mistakes.
constexpr unsigned kIdUsage = 620;
constexpr unsigned kIdUsageValue = 621;
constexpr unsigned kIdUnknownOption = 622;
constexpr unsigned kIdCommandLineUnreadable = 623;
// The installation's path, and what the run will not follow on it.
constexpr unsigned kIdLinkNotTrusted = 640;
} // namespace ZelkPatch
