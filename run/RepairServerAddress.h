// Where the repair run finds the repair server: the registry value "RepairServer" below the
// maker's settings key, a host name or address with an optional ":port", or, without it, the host
// this program was built with. The port is 6000 unless the setting names one. A setting that
// begins with "http://" or "https://" is instead the web address of a repair manifest's directory
// to repair from. The registry value "RepairManifest" beside it is the web address of the signed
// manifest a repair server's records are checked against.
#pragma once

#include <string>

#include "net/TCPSocket.h"

namespace ZelkPatch
{
// The setting as configured: the registry value when it is there and not empty, else the built-in
// host.
std::wstring RepairServerSetting();
// The built-in host (the build's PELMO_REPAIR_HOST).
std::wstring DefaultRepairServerHost();
// Whether a setting names a web directory to repair from (the scheme in any case).
bool IsWebRepairAddress(const std::wstring &setting);
// The registry value "RepairManifest"; empty without it.
std::wstring RepairManifestSetting();
// Looks the host of a setting up (IPv4, the first address) and takes its port; false when the
// setting is malformed or the lookup finds nothing.
bool ResolveRepairServer(const std::wstring &setting, IPv4Endpoint &server);
} // namespace ZelkPatch
