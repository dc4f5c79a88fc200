// Catalogue ids of the texts that the code below the catalogue shows (kernel/UserText.h), named
// once. run/MessageIds.h includes them, so the catalogue's every id is named in one place above.
#pragma once

namespace ZelkPatch
{
// The package installation and the transfers, which read the same in every earlier release.
constexpr unsigned kIdCannotOpenPatchFile = 196;
constexpr unsigned kIdUnableToDownload = 197;
constexpr unsigned kIdNoPatchServer = 198;
constexpr unsigned kIdCannotCreateDirectory = 201;
constexpr unsigned kIdEllipsis = 211;
constexpr unsigned kIdFailedAdding = 217;
constexpr unsigned kIdCannotDelete = 219;
constexpr unsigned kIdAlreadyRemoved = 220;
constexpr unsigned kIdCannotCopy = 221;
constexpr unsigned kIdChecksumFailed = 222;
constexpr unsigned kIdFileAlreadyPatched = 223;
constexpr unsigned kIdDamagedFile = 224;
constexpr unsigned kIdFailedPatchCommand = 226;
constexpr unsigned kIdPatchToolArguments = 227;
constexpr unsigned kIdPatchToolDataFile = 228;
constexpr unsigned kIdPatchToolPatchFile = 229;
constexpr unsigned kIdPatchToolOutputFile = 230;
constexpr unsigned kIdCouldNotOpen = 232;
constexpr unsigned kIdNotPresent = 234;
// A name that a link planted in the installation leads out of it.
constexpr unsigned kIdLeadsOutside = 300;
// Package archives and lists that name paths outside where they may write, and the patch tool.
constexpr unsigned kIdRefusedArchiveName = 500;
constexpr unsigned kIdListPathBeyondBounds = 501;
constexpr unsigned kIdRefusedListPath = 502;
constexpr unsigned kIdToolEndedAbnormally = 503;
constexpr unsigned kIdPatchedChecksumWrong = 504;
constexpr unsigned kIdCannotMakeBackup = 505;
// A patch list refused for its signature or its serial.
constexpr unsigned kIdListRefused = 506;
constexpr unsigned kIdListSignatureUnavailable = 507;
constexpr unsigned kIdListSerialMalformed = 508;
constexpr unsigned kIdListReplayed = 509;
constexpr unsigned kIdListSerialUnreadable = 510;
// Why a signature is not good.
constexpr unsigned kIdSignatureMissing = 511;
constexpr unsigned kIdSignatureMalformed = 512;
constexpr unsigned kIdSignatureWrong = 513;
constexpr unsigned kIdSignatureUnreadable = 514;
// Why the publisher key cannot be used.
constexpr unsigned kIdRegistryKeyNotBase64 = 520;
constexpr unsigned kIdBuiltInKeyNotBase64 = 521;
constexpr unsigned kIdRegistryKeyNotText = 522;
constexpr unsigned kIdRegistryUnreadable = 523;
} // namespace ZelkPatch
