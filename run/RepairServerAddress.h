// Where the repair run finds the repair server: the registry value "RepairServer" below the
// maker's settings key, a host name or address with an optional ":port", or, without it, the host
// this program was built with. The port is 6000 unless the setting names one.
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
// Looks the host of a setting up (IPv4, the first address) and takes its port; false when the
// setting is malformed or the lookup finds nothing.
bool ResolveRepairServer(const std::wstring &setting, IPv4Endpoint &server);
} // namespace ZelkPatch
