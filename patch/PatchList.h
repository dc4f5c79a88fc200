// The reading of "patches.txt": lines in any line-end form, and "key: value" entries.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "kernel/ZelkTypes.h"
#include "patch/PelmoPatchTask.h"

class ZelkDataBuffer;

// Reads one line (without its line end: CR LF, LF CR, LF or CR) into line. False once the end of
// the data was reached before a line end; line then holds the text read so far, which may be a
// last line without a line end.
bool ReadLine(ZelkDataBuffer &buffer, std::string &line);

// Fills values from the "key: value" lines of one entry: spaces trimmed, keys in lowercase, one
// pair of enclosing double quotes removed from a value, later keys overriding earlier ones. False
// when a non-empty line has no ':' (the other lines are still read).
bool ParseKeyValues(ZelkDataBuffer &block, std::map<std::string, std::string> &values);

// Signed lists ---------------------------------------------------------------------------------

// How a step's package archive stands against what the list says of it.
enum class ArchiveVerdict
{
    Good,
    NoDigest,      // the entry gives no SHA-256, so nothing vouches for the archive
    Malformed,     // the entry's digest or size is not well formed
    SizeDiffers,   // the file is not as long as the entry says
    DigestDiffers, // the file's SHA-256 is not the entry's
    Unreadable,    // the file cannot be read
};

// A short English reason, for diagnostics and the publisher tools.
const char *DescribeArchiveVerdict(ArchiveVerdict verdict);
// Before the download: Good when the entry gives a well-formed digest (and a well-formed size, if
// any), which a run with a publisher key needs to use the entry at all.
ArchiveVerdict CheckListedArchive(const PatchListEntry &entry);
// After the download: the file's size and SHA-256 against the entry. Anything but Good deletes
// the file, so bytes the publisher did not sign are never opened.
ArchiveVerdict VerifyDownloadedArchive(const std::wstring &path, const PatchListEntry &entry);

// Fetches the detached signature of the server's list ("patches.txt.sig"), without the cache's
// copy and at most kMaxSignatureFileSize bytes: the transfer's result.
ZELKRESULT DownloadListSignature(const std::wstring &server, std::string &signatureFile);
