// Modules that the program carries inside it: the build places a module's bytes in the program
// (as _binary_NAME_so_start .. _end), and the first use loads them from memory. The program stays
// one file, standalone patchers included, and a run that needs no module loads nothing of it nor
// of the libraries behind it.
#pragma once

namespace ZelkPatch
{
// Loads the module held in [start, end) and gives its entry point named entryName; null when it
// cannot be loaded (the reason is in the log, and in *error when error is not null). name is what
// the module is called in the process's list of mappings and in crash reports. A module, once
// loaded, stays for the life of the process.
void *LoadEmbeddedModule(const char *name, const unsigned char *start, const unsigned char *end,
                         const char *entryName, const char **error = nullptr);
} // namespace ZelkPatch
