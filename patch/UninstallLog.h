// The installation's uninstall log ("unins000.dat"), which the product's installer wrote and its
// uninstaller reads: files that a patch adds are recorded there so that uninstalling the product
// removes them too. The log is a 448-byte header and records that run across checksummed blocks of
// at most 4,096 bytes, closed by an end-install record that must stay last.
//
// Besides the update, this file holds the encoder and a strict reader of the format, which the
// sample-installation maker and the checks use; it lives in the core so that tools can use it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class ConfinedDirectory;

constexpr uint32_t kUninstallHeaderSize = 448;
constexpr uint32_t kUninstallBlockHeaderSize = 12;
constexpr uint32_t kUninstallBlockDataSize = 4096;
// Logs of this version and above store strings as UTF-16LE.
constexpr uint32_t kUninstallUnicodeVersion = 1000;
// The uninstaller rejects logs of a newer format.
constexpr uint32_t kUninstallNewestVersion = 1055;

constexpr uint16_t kUninstallRecordStartInstall = 0x0010;
constexpr uint16_t kUninstallRecordEndInstall = 0x0011;
constexpr uint16_t kUninstallRecordDeleteDirOrFiles = 0x0081;
constexpr uint16_t kUninstallRecordDeleteFile = 0x0082;

struct UninstallRecord
{
    uint16_t type = 0;
    uint32_t extraData = 0;
    // The record's data as stored.
    std::string data;
    // The data read as a string list, when it is one (decoded by the log's string encoding).
    std::vector<std::wstring> strings;
};

struct UninstallLogContents
{
    std::string id;
    std::string appId;
    std::string appName;
    uint32_t version = 0;
    uint32_t endOffset = 0;
    uint32_t flags = 0;
    std::vector<UninstallRecord> records;
};

// Standard reflected CRC-32 (zlib's); the table is built once, on first use.
uint32_t UninstallCrc32(const void *data, size_t size, uint32_t crc = 0);

// Encoding ---------------------------------------------------------------------------------------

// One string of a record's string list, in the encoding of a log of the given version.
std::string EncodeUninstallString(const std::wstring &text, uint32_t version);
// A record: type, extra data, data size and data (the strings, then the 0xFF terminator).
std::string EncodeUninstallRecord(uint16_t type, uint32_t extraData, const std::vector<std::wstring> &strings,
                                  uint32_t version);
// The closing end-install record: its one string is the 16 bytes of the install's local time
// stamp, stored as they are (as 8 UTF-16 code units in a Unicode log).
std::string EncodeEndInstallRecord(const std::string &timeStamp, uint32_t version);
// A whole log with the given record data. blockSizes splits the data into blocks of those sizes
// (what is left goes into blocks of 4,096 bytes), so that tests can build the shapes real logs
// take after several installs.
std::string BuildUninstallLog(const UninstallLogContents &header, uint32_t recordCount, const std::string &recordData,
                              const std::vector<uint32_t> &blockSizes = {});

// Reading ----------------------------------------------------------------------------------------

// Checks the log as the uninstaller would, and stricter: header ID, version and CRC; every block's
// Size, NotSize, CRC and its place before the end offset; exactly the counted records of known
// types and nothing after them. False with the reason in error.
bool ParseUninstallLog(const std::string &bytes, UninstallLogContents &log, std::string &error);
bool ReadUninstallLog(const std::wstring &path, UninstallLogContents &log, std::string &error);
// The log of an installation held open.
bool ReadUninstallLog(const ConfinedDirectory &installation, UninstallLogContents &log, std::string &error);

// Updating ---------------------------------------------------------------------------------------

// Appends one delete-file record per entry (relative to installPath, either separator) ahead of
// the closing end-install record of installPath's "unins000.dat". The new log is written beside
// it and renamed over it; on any failure the log is untouched. No entries: nothing changes.
bool ExtendUninstallLog(const std::wstring &installPath, const std::vector<std::wstring> &entries);
// The same beneath an installation held open; a log whose name leads outside it (a link planted
// there) is neither read nor replaced, and errno is kNameLeadsOutside afterwards.
bool ExtendUninstallLog(const ConfinedDirectory &installation, const std::vector<std::wstring> &entries);
