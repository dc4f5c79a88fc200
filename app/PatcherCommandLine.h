// The command line of the patcher, with and without a window.
#pragma once

#include <string>
#include <vector>

#include <wx/cmdline.h>

#include "run/PatchSettings.h"

namespace ZelkPatch
{
// The command line of the patcher and what follows from it: the settings, the elevated relaunch
// and the program started on exit.
// The name the usage and --version give, also for a standalone patcher that was renamed.
extern const char *const kPatcherProgramName;

class PatcherCommandLine
{
public:
    // What the command line says goes into settings.
    explicit PatcherCommandLine(PatchSettings &settings);

    // A quoted directory that ends in a backslash arrives with a stray double quote after the
    // backslash; the quote goes, the backslash stays.
    static void DropStrayQuotes(std::vector<std::wstring> &arguments);

    // Parses the arguments (program first) into the settings. False on a syntax error (nothing is
    // taken) and when fewer than two positional parameters were given.
    bool ParseCommandLine(const std::vector<std::wstring> &arguments);

    // The command line of the elevated copy, as written to the log.
    std::string BuildRelaunchLine() const;
    // The same line as separate arguments. Empty versions stay empty arguments and every server
    // is its own "--server=" argument, so the copy sees what this process saw.
    std::vector<std::string> BuildRelaunchArguments() const;
    // Runs an elevated copy when this process may not change the installation. True when this
    // process must end: the copy ran (ElevatedExitStatus tells how it ended) or was refused.
    bool RelaunchElevated(const std::wstring &executable);
    // The exit status of the elevated copy; -1 when it did not run.
    int ElevatedExitStatus() const { return m_elevatedExitStatus; }
    // Starts the --onexit program and waits for it at most a second.
    void LaunchOnExitProgram();

    // The usage, in the catalogue's language, as --help prints it.
    std::wstring UsageText();
    bool Admin() const { return m_admin; }
    bool Unattended() const { return m_unattended; }
    bool HelpRequested() const { return m_help; }
    bool VersionRequested() const { return m_version; }
    bool SyntaxError() const { return m_syntaxError; }
    bool LaunchOnExit() const { return m_launchOnExit; }
    const std::wstring &OnExitCommand() const { return m_onExitCommand; }

private:
    // One entry of the option table; the description in the catalogue's language.
    struct OptionEntry
    {
        wxCmdLineEntryType kind;
        const char *shortName;
        const char *longName;
        std::wstring description;
        int flags;
    };

    void BuildOptionTable();
    // What is wrong with arguments that the parser refused, in the catalogue's language.
    std::wstring SyntaxErrorText(const std::vector<std::wstring> &arguments) const;
    void DescribeOptions(wxCmdLineParser &parser);
    void ReadServerList(const std::wstring &fileName);

    PatchSettings &m_settings;
    std::wstring m_onExitCommand;
    bool m_launchOnExit = false;
    std::vector<OptionEntry> m_optionTable;
    bool m_admin = false;
    bool m_unattended = false;
    bool m_help = false;
    bool m_version = false;
    bool m_syntaxError = false;
    int m_elevatedExitStatus = -1;
};
} // namespace ZelkPatch
