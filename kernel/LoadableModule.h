// Code loaded while the program runs: shared libraries loaded by name when a feature first needs
// them, and the modules that the program carries inside it, loaded from memory. Also tells the
// program's own code (its executable and the modules it carries) from the libraries' code, for
// the allocation tracker, which lists only the leaks of the program's own code.
#pragma once

#include <cstdint>

namespace LoadableModule
{
// Loads a shared library by its file or shared name, its symbols kept to itself. Null when it
// cannot be loaded; *reason then says why (static text, valid until the next call).
void *Open(const char *name, const char **reason);
// Loads the module held in [start, end) without leaving a file on disk and counts its code as
// the program's own. name is what the module is called in the process's list of mappings and in
// crash reports. Null when it cannot be loaded, as for Open. A module stays for the life of the
// process.
void *OpenFromMemory(const char *name, const unsigned char *start, const unsigned char *end, const char **reason);
// The address of a module's symbol; null when it has none.
void *Symbol(void *module, const char *name);
// Whether a code address lies in the program's executable or in a module opened from memory, as
// opposed to a shared library. Neither allocates nor locks.
bool IsOwnCode(uint64_t address);
} // namespace LoadableModule
