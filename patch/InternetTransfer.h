// FTP and HTTP(S) transfers of patch lists and package archives, with the retries that keep a
// download going over a poor connection. The protocols are HttpTransfer and FtpTransfer, the
// addresses TransferAddress, the retry policy and the transfer settings TransferRetry.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/ZelkTypes.h"
#include "patch/TransferRetry.h"

class ZelkDataBuffer;

// Bit 0 of DownloadAddress's flags: ask caches and proxies for a fresh copy.
constexpr uint32_t kDownloadNoCache = 1;

// Writes the file's bytes at the destination's position, trying again after a failed attempt
// (11 tries) unless an HTTP status says no retry can change the answer (4xx but 408 and 429).
// ZELKRESULT_BAD_FORMAT for a scheme other than ftp, http, https; ZELKRESULT_ABORTED when the
// callback asked to stop.
ZELKRESULT DownloadAddress(const std::string &address, ZelkDataBuffer &destination, uint32_t flags,
                           ZelkTransferCallback *callback);
// The size of the file at the address; size is 0 unless the result is ZELKRESULT_OK.
ZELKRESULT QueryAddressSize(const std::string &address, uint64_t &size);
