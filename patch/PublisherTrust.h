// What this machine trusts: the publisher key its patcher checks signatures with, and the newest
// signed patch list and repair manifest it has accepted. They live in the registry under
// HKEY_LOCAL_MACHINE\SOFTWARE\Pelmo, whose file belongs to root.
#pragma once

#include <cstdint>
#include <string>

#include "kernel/Registry.h"
#include "patch/PublisherKey.h"

enum class TrustedKeyState
{
    None,       // no key is configured: nothing is checked, as before keys existed
    Key,        // signatures are required and checked with key
    Unreadable, // a key is configured but cannot be used: nothing may be trusted
};

struct TrustedKey
{
    TrustedKeyState state = TrustedKeyState::None;
    PublisherKey key;   // when state is Key
    unsigned reason = 0; // when state is Unreadable: why, as a catalogue id (kernel/UserTextIds.h)
};

// The registry value "PublisherKey" when it is there, else the key built into the program, else
// none. A value or a built-in key that is there but cannot be read is never taken for none.
TrustedKey LoadTrustedKey();
// The key built in with the CMake cache variable PELMO_PUBLISHER_KEY; empty when none was.
std::string BuiltInPublisherKey();
// The same rule for given sources: the registry value's state and text, and the built-in key's
// text (empty when none was built in).
TrustedKey ResolveTrustedKey(RegistryValueState registryState, const std::wstring &registryText,
                             const std::string &builtIn);

enum class ListSerialVerdict
{
    Accepted,   // not older than the newest this machine has accepted
    Replayed,   // older: an old list served again
    Unreadable, // the kept serial cannot be read, so no list can be judged
};

// Compares a signed list's serial (0 for a list without one) with the newest kept in the
// registry value "PatchListSerial"; newest is set to the kept serial (0 when none is kept).
ListSerialVerdict CheckListSerial(uint64_t serial, uint64_t &newest);
// Keeps serial as the newest accepted when it is newer than the one kept. False when the
// registry cannot be read or written.
bool RememberListSerial(uint64_t serial);
// The same for signed repair manifests, whose newest serial is kept in "RepairManifestSerial".
ListSerialVerdict CheckRepairManifestSerial(uint64_t serial, uint64_t &newest);
bool RememberRepairManifestSerial(uint64_t serial);
