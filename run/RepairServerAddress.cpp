#include "run/RepairServerAddress.h"

#include <cwctype>
#include <memory>

#include "kernel/HostAddress.h"
#include "kernel/ProductFacts.h"
#include "kernel/Registry.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "repair/RepairProtocol.h"

#ifndef PELMO_REPAIR_HOST
#define PELMO_REPAIR_HOST "repair.pelmo.net"
#endif

namespace ZelkPatch
{
namespace
{
constexpr uint32_t kMaxPort = 65535;

// "host", "host:port"; false for an empty host or a port that is not a number from 1 to 65535.
bool SplitHostAndPort(const std::string &setting, std::string &host, uint16_t &port)
{
    host = setting;
    port = kRepairPort;
    const size_t colon = setting.rfind(':');
    if (colon != std::string::npos)
    {
        host = setting.substr(0, colon);
        const std::string digits = setting.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const unsigned long value = std::stoul(digits);
        if (value == 0 || value > kMaxPort)
            return false;
        port = static_cast<uint16_t>(value);
    }
    return !host.empty();
}
} // namespace

std::wstring DefaultRepairServerHost()
{
    return NarrowToWide(PELMO_REPAIR_HOST);
}

bool IsWebRepairAddress(const std::wstring &setting)
{
    std::wstring scheme = setting.substr(0, setting.find(L"://"));
    if (scheme.size() == setting.size())
        return false;
    for (wchar_t &c : scheme)
        c = static_cast<wchar_t>(std::towlower(c));
    return scheme == L"http" || scheme == L"https";
}

std::wstring RepairManifestSetting()
{
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(ProductFacts::kSettingsKey, false);
    std::wstring setting;
    if (key && key->QueryString(ProductFacts::kRepairManifestValue, setting))
        return setting;
    return std::wstring();
}

std::wstring RepairServerSetting()
{
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(ProductFacts::kSettingsKey, false);
    std::wstring setting;
    if (key && key->QueryString(ProductFacts::kRepairServerValue, setting) && !setting.empty())
        return setting;
    return DefaultRepairServerHost();
}

bool ResolveRepairServer(const std::wstring &setting, IPv4Endpoint &server)
{
    std::string host;
    uint16_t port = 0;
    if (!SplitHostAndPort(WideToNarrow(setting), host, port))
    {
        ZelkSystemLog("ResolveRepairServer> not a host and port: %s", WideToNarrow(setting).c_str());
        return false;
    }
    std::string reason;
    if (!ResolveIPv4Host(host, server.address, reason))
    {
        ZelkSystemLog("ResolveRepairServer> %s: %s", host.c_str(), reason.c_str());
        return false;
    }
    server.port = port;
    return true;
}
} // namespace ZelkPatch
