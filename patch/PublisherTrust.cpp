#include "patch/PublisherTrust.h"

#include <memory>

#include "kernel/TextConvert.h"
#include "kernel/UserTextIds.h"

#ifndef PELMO_PUBLISHER_KEY
#define PELMO_PUBLISHER_KEY ""
#endif

namespace
{
const wchar_t kPelmoKey[] = L"SOFTWARE\\Pelmo";
const wchar_t kPublisherKeyValue[] = L"PublisherKey";
const wchar_t kListSerialValue[] = L"PatchListSerial";
const wchar_t kRepairManifestSerialValue[] = L"RepairManifestSerial";

TrustedKey Unreadable(unsigned reason)
{
    TrustedKey trusted;
    trusted.state = TrustedKeyState::Unreadable;
    trusted.reason = reason;
    return trusted;
}

TrustedKey FromText(const std::string &text, unsigned notAKey)
{
    TrustedKey trusted;
    if (!PublisherKey::FromText(text, trusted.key))
        return Unreadable(notAKey);
    trusted.state = TrustedKeyState::Key;
    return trusted;
}

// The kept serial: false when it is there but cannot be read.
bool ReadKeptSerial(const wchar_t *valueName, uint64_t &serial)
{
    serial = 0;
    std::wstring text;
    switch (QueryRegistryText(kPelmoKey, valueName, text))
    {
    case RegistryValueState::Missing:
        return true;
    case RegistryValueState::Text:
        return ParseDecimal(WideToNarrow(text), serial);
    default:
        return false;
    }
}

ListSerialVerdict CheckKeptSerial(const wchar_t *valueName, uint64_t serial, uint64_t &newest)
{
    if (!ReadKeptSerial(valueName, newest))
        return ListSerialVerdict::Unreadable;
    return serial < newest ? ListSerialVerdict::Replayed : ListSerialVerdict::Accepted;
}

bool RememberKeptSerial(const wchar_t *valueName, uint64_t serial)
{
    uint64_t kept = 0;
    if (!ReadKeptSerial(valueName, kept))
        return false;
    if (serial <= kept)
        return true;
    RegistryKey::CreateKey(kPelmoKey);
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(kPelmoKey, true);
    return key && key->SetString(valueName, NarrowToWide(std::to_string(serial)));
}
} // namespace

TrustedKey ResolveTrustedKey(RegistryValueState registryState, const std::wstring &registryText,
                             const std::string &builtIn)
{
    switch (registryState)
    {
    case RegistryValueState::Text:
        return FromText(WideToNarrow(registryText), ZelkPatch::kIdRegistryKeyNotBase64);
    case RegistryValueState::OtherType:
        return Unreadable(ZelkPatch::kIdRegistryKeyNotText);
    case RegistryValueState::Unreadable:
        return Unreadable(ZelkPatch::kIdRegistryUnreadable);
    case RegistryValueState::Missing:
        break;
    }
    if (builtIn.empty())
        return TrustedKey();
    return FromText(builtIn, ZelkPatch::kIdBuiltInKeyNotBase64);
}

std::string BuiltInPublisherKey()
{
    return PELMO_PUBLISHER_KEY;
}

TrustedKey LoadTrustedKey()
{
    std::wstring text;
    const RegistryValueState state = QueryRegistryText(kPelmoKey, kPublisherKeyValue, text);
    return ResolveTrustedKey(state, text, BuiltInPublisherKey());
}

ListSerialVerdict CheckListSerial(uint64_t serial, uint64_t &newest)
{
    return CheckKeptSerial(kListSerialValue, serial, newest);
}

bool RememberListSerial(uint64_t serial)
{
    return RememberKeptSerial(kListSerialValue, serial);
}

ListSerialVerdict CheckRepairManifestSerial(uint64_t serial, uint64_t &newest)
{
    return CheckKeptSerial(kRepairManifestSerialValue, serial, newest);
}

bool RememberRepairManifestSerial(uint64_t serial)
{
    return RememberKeptSerial(kRepairManifestSerialValue, serial);
}
