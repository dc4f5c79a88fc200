// Finding the Korvil installation and its build: the registry entries of the product's installer,
// the user's pick in the open-file dialog, and the payload's table of builds.
#pragma once

#include <string>

#include "patch/PatchPayload.h"
#include "run/PatchSettings.h"
#include "run/RunObserver.h"

namespace ZelkPatch
{

// The installation directory of the last installation under
// HKEY_LOCAL_MACHINE\SOFTWARE\Pelmo\Products\<productKey> whose "ProductClass" equals productClass
// (ignoring case; an empty class matches every one). Empty when none is found.
std::wstring FindProductInstallPath(const std::wstring &productKey, const std::wstring &productClass);

// FindProductInstallPath for the product this patcher patches.
std::wstring FindKorvilInstallPath();

// The installation directory for a file the user picked: the file's directory with its trailing
// separator, or that directory's parent when it is the installation's "bin/".
std::wstring InstallDirectoryOfPick(const std::wstring &pickedFile);

// What the payload check found: a payload (the installation may be browsed for), and whether
// standalone mode is ready (the run may start).
struct PayloadCheck
{
    bool payloadFound = false;
    bool ready = false;
    // The installed build is the payload's target: nothing is left to do, and that is no failure.
    bool upToDate = false;
};

// Opens the payload of the executable and identifies the installed build; reports every outcome,
// asks the user to locate the installation when it must, and sets up standalone mode in settings
// when the payload fits the build.
PayloadCheck CheckStandalonePayload(const std::wstring &exePath, bool browseOnly, PatchPayload &payload,
                                    PatchSettings &settings, RunObserver &observer);

// The path of the running executable, whose payload discovery reads.
std::wstring RunningExecutableForDiscovery();
} // namespace ZelkPatch
