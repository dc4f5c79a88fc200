// Where the running program's own file is: for relaunching it and for reading what was appended
// to it.
#pragma once

#include <string>

// The absolute path of the running executable as the kernel knows it (never argument 0, which
// the caller of the program chooses). Empty when it cannot be found.
std::wstring RunningExecutablePath();
// A path that opens the very file this process was started from, even after that file has been
// renamed or replaced on disk.
std::wstring RunningExecutableImage();
