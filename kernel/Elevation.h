// Administrator rights: whether the process has them, running a copy of the program with them,
// and the checks that tell whether the installation may be changed.
#pragma once

#include <string>
#include <vector>

// True when the process runs with the rights of the machine's administrator (root).
bool ProcessHasAdminRights();

// The program that starts the elevated copy: the environment variable PELMO_ELEVATE when it is
// set (tests put a recording script there), otherwise "pkexec".
std::string ElevationProgram();
// True when PELMO_ELEVATE replaces pkexec.
bool ElevationProgramReplaced();

// Exit statuses of the elevation program that mean the copy did not run: refused or dismissed
// (126), or the elevation program is not available (127).
constexpr int kElevationRefused = 126;
constexpr int kElevationUnavailable = 127;

// Starts the elevation program with the executable's absolute path followed by the arguments,
// and waits for it without a time limit. The exit status of the elevation program (that of the
// elevated copy when it ran), or kElevationUnavailable when it could not be started or was ended
// by a signal.
int RunElevatedCopy(const std::wstring &executable, const std::vector<std::string> &arguments);

// Makes the directory the process's current directory.
bool SetCurrentDirectoryTo(const std::wstring &directory);
