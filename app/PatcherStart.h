// Start-up as the patcher's two faces share it, the window and the console: the services every
// run needs (sockets, the crash handlers), the command line, the installation's path and the
// rights to change it. Each face owns one and decides the rest.
#pragma once

#include <optional>

#include <wx/cmdargs.h>

#include "app/PatcherCommandLine.h"
#include "patch/PatchPayload.h"
#include "run/PatchSettings.h"

namespace ZelkPatch
{
class PatcherStart
{
public:
    PatcherStart();
    // Ends the services, as StopServices.
    ~PatcherStart();
    PatcherStart(const PatcherStart &) = delete;
    PatcherStart &operator=(const PatcherStart &) = delete;

    // False when the arguments (program first) ask for a run without a window ("-u" or
    // "--unattended") or for the usage or the version ("-h", "--help", "--version"), which a user
    // reads on a terminal, a display or none.
    static bool WantsWindow(int argc, char **argv);

    // Starts the socket library, the crash handlers (whose fatal path is the application's
    // OnFatalException) and the socket manager. False when sockets cannot be used.
    bool StartServices();
    // Ends what StartServices started, once; the end is an orderly one, which the exit check must
    // not take for a crash.
    void StopServices();

    // Reads the application's arguments (program first) into the settings. False on a syntax
    // error.
    bool ReadCommandLine(int argc, const wxCmdLineArgsArray &argv);
    // Makes the installation's path absolute (the registry's when none was given) and opens the
    // installation, which the settings hold from then on, then moves to the program's directory.
    void SettleInstallPath();
    // Whether this process may change the installation, relaunching an elevated copy when it may
    // not: nothing when start-up goes on, else the exit status this process ends with (that of
    // the elevated copy when one ran).
    std::optional<int> CheckRights();

    PatchSettings &Settings() { return m_settings; }
    PatchPayload &Payload() { return m_payload; }
    PatcherCommandLine &CommandLine() { return m_commandLine; }

private:
    bool m_servicesStarted = false;
    // The settings of the next run, and the reader of the executable's own payload.
    PatchSettings m_settings;
    PatchPayload m_payload;
    PatcherCommandLine m_commandLine{m_settings};
};
} // namespace ZelkPatch
