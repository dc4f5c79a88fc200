// HKEY_LOCAL_MACHINE of the program: keys and values kept in one text file in the registry
// editor's export syntax, shared by every process of the machine.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

// PELMO_REGISTRY, else /var/lib/pelmo/registry.reg.
std::wstring RegistryFilePath();

// A key below HKEY_LOCAL_MACHINE, named by a '\' separated path such as
// L"SOFTWARE\\Pelmo\\Products". Key and value names compare without regard to ASCII case. Every
// query reads the file afresh; every change locks it, re-reads it, applies the change and replaces
// the file as a whole, so no process ever sees half a registry.
class RegistryKey
{
public:
    // Creates the key and its missing parents; true when it exists afterwards. Refused (false)
    // when the process may not write the registry, or the path holds a character that is no
    // Unicode scalar value.
    static bool CreateKey(const std::wstring &path);
    // Null when the key does not exist, or forWrite is asked and the process may not write the
    // registry file (or create it).
    static std::unique_ptr<RegistryKey> Open(const std::wstring &path, bool forWrite);
    // Whether the process may write the registry file (or create it), asked without a change.
    static bool MayWrite();

    // The direct sub-keys in the order they appear in the file; false past the end.
    bool EnumSubKey(uint32_t index, std::wstring &name) const;
    // False when the value is missing or of another type.
    bool QueryString(const std::wstring &name, std::wstring &value) const;
    bool QueryDword(const std::wstring &name, uint32_t &value) const;

    // Changes need a key opened for write. A name or text holding a character that is no Unicode
    // scalar value (a lone surrogate) is refused: the file has no form for it.
    bool SetString(const std::wstring &name, const std::wstring &value);
    bool SetDword(const std::wstring &name, uint32_t value);
    // False when the value does not exist.
    bool DeleteValue(const std::wstring &name);

private:
    RegistryKey(const std::wstring &path, bool forWrite);

    std::wstring m_path;
    bool m_forWrite;
};

// How a value stands, for a caller that must tell a value that is not there from one it cannot
// use: a registry file that exists but cannot be read is Unreadable, never Missing.
enum class RegistryValueState
{
    Missing,
    Text,
    OtherType,
    Unreadable,
};

// The text value name of the key at keyPath (the key need not be opened first).
RegistryValueState QueryRegistryText(const std::wstring &keyPath, const std::wstring &name, std::wstring &value);
