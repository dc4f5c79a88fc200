#include "app/PatcherCommandLine.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <utility>
#include <vector>

#include <wx/msgout.h>

#include "app/UserDialogs.h"
#include "kernel/Elevation.h"
#include "kernel/FileUtil.h"
#include "kernel/ProcessUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "run/InstallDiscovery.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"
#include "run/PrePostPatchTasks.h"

namespace ZelkPatch
{
namespace
{
constexpr uint32_t kOnExitWaitMilliseconds = 1000;

// The option table: kind, short and long name, description id, flags.
struct OptionDefinition
{
    wxCmdLineEntryType kind;
    const char *shortName;
    const char *longName;
    unsigned descriptionId;
    int flags;
};

const OptionDefinition kOptions[] = {
    {wxCMD_LINE_SWITCH, "h", "help", kIdOptionHelp, 0},
    {wxCMD_LINE_SWITCH, "a", "admin", kIdOptionAdmin, 0},
    {wxCMD_LINE_PARAM, "c", "current", kIdOptionCurrent, wxCMD_LINE_PARAM_OPTIONAL},
    {wxCMD_LINE_OPTION, "l", "list", kIdOptionList, 0},
    {wxCMD_LINE_OPTION, "s", "server", kIdOptionServer, 0},
    {wxCMD_LINE_OPTION, "f", "final", kIdOptionFinal, 0},
    {wxCMD_LINE_PARAM, "t", "target", kIdOptionTarget, wxCMD_LINE_PARAM_OPTIONAL},
    {wxCMD_LINE_SWITCH, "r", "repair", kIdOptionRepair, 0},
    {wxCMD_LINE_OPTION, "o", "onexit", kIdOptionOnExit, 0},
    {wxCMD_LINE_SWITCH, "u", "unattended", kIdOptionUnattended, 0},
    {wxCMD_LINE_SWITCH, "", "check", kIdOptionCheck, 0},
    {wxCMD_LINE_SWITCH, "", "version", kIdOptionVersion, 0},
};
// Drops what the toolkit prints while it lives.
class ToolkitMessagesDropped
{
public:
    ToolkitMessagesDropped() : m_previous(wxMessageOutput::Set(&m_drop)) {}
    ~ToolkitMessagesDropped() { wxMessageOutput::Set(m_previous); }
    ToolkitMessagesDropped(const ToolkitMessagesDropped &) = delete;
    ToolkitMessagesDropped &operator=(const ToolkitMessagesDropped &) = delete;

private:
    class Drop : public wxMessageOutput
    {
    public:
        void Output(const wxString &) override {}
    };
    Drop m_drop;
    wxMessageOutput *m_previous;
};
} // namespace

const char *const kPatcherProgramName = "pelmo-patcher";

std::wstring PatcherCommandLine::SyntaxErrorText(const std::vector<std::wstring> &arguments) const
{
    // The first argument that looks like an option and names none; the program's name is first.
    for (size_t i = 1; i < arguments.size(); ++i)
    {
        const std::wstring &argument = arguments[i];
        if (argument == L"--")
            break;
        if (argument.size() < 2 || argument[0] != L'-')
            continue;
        const bool isLong = argument[1] == L'-';
        const std::wstring name = isLong ? argument.substr(2, argument.find(L'=') - 2) : argument.substr(1, 1);
        const bool known = std::any_of(m_optionTable.begin(), m_optionTable.end(), [&](const OptionEntry &option) {
            return option.kind != wxCMD_LINE_PARAM && NarrowToWide(isLong ? option.longName : option.shortName) == name;
        });
        if (!known)
            return FormatCatalogueText(kIdUnknownOption, argument.substr(0, argument.find(L'=')).c_str());
    }
    return LoadMessage(kIdCommandLineUnreadable);
}

PatcherCommandLine::PatcherCommandLine(PatchSettings &settings) : m_settings(settings)
{
}

void PatcherCommandLine::DropStrayQuotes(std::vector<std::wstring> &arguments)
{
    for (std::wstring &argument : arguments)
    {
        const size_t length = argument.size();
        if (length >= 2 && argument[length - 2] == L'\\' && argument[length - 1] == L'"')
            argument.pop_back();
    }
}

void PatcherCommandLine::BuildOptionTable()
{
    m_optionTable.clear();
    for (const OptionDefinition &option : kOptions)
        m_optionTable.push_back({option.kind, option.shortName, option.longName, LoadMessage(option.descriptionId),
                                 option.flags});
}

void PatcherCommandLine::DescribeOptions(wxCmdLineParser &parser)
{
    BuildOptionTable();
    // The descriptions go in as wide text: the toolkit reads the narrow descriptions of an entry
    // table in the C library's locale, which loses every letter outside ASCII when the user's
    // locale is not installed.
    for (const OptionEntry &option : m_optionTable)
    {
        switch (option.kind)
        {
        case wxCMD_LINE_SWITCH:
            parser.AddSwitch(option.shortName, option.longName, option.description, option.flags);
            break;
        case wxCMD_LINE_OPTION:
            parser.AddOption(option.shortName, option.longName, option.description, wxCMD_LINE_VAL_STRING,
                             option.flags);
            break;
        case wxCMD_LINE_PARAM:
            parser.AddParam(option.description, wxCMD_LINE_VAL_STRING, option.flags);
            break;
        default:
            break;
        }
    }
}

// Written here rather than by the toolkit, whose words ("Usage", the value's placeholder, its
// errors) stay English without the toolkit's own translations.
std::wstring PatcherCommandLine::UsageText()
{
    BuildOptionTable();
    const std::wstring value = L"<" + LoadMessage(kIdUsageValue) + L">";
    std::wstring synopsis = NarrowToWide(kPatcherProgramName);
    std::wstring parameters;
    std::vector<std::pair<std::wstring, std::wstring>> rows;
    for (const OptionEntry &option : m_optionTable)
    {
        if (option.kind == wxCMD_LINE_PARAM)
        {
            parameters += L" [" + option.description + L"]";
            continue;
        }
        const std::wstring shortName = NarrowToWide(option.shortName);
        const std::wstring longName = NarrowToWide(option.longName);
        const bool takesValue = option.kind == wxCMD_LINE_OPTION;
        synopsis += L" [" + (shortName.empty() ? L"--" + longName : L"-" + shortName) +
                    (takesValue ? L" " + value : std::wstring()) + L"]";
        std::wstring names = shortName.empty() ? L"--" + longName : L"-" + shortName + L", --" + longName;
        if (takesValue)
            names += L"=" + value;
        rows.emplace_back(names, option.description);
    }
    size_t width = 0;
    for (const auto &row : rows)
        width = std::max(width, row.first.size());
    std::wstring usage = FormatCatalogueText(kIdUsage, (synopsis + parameters).c_str()) + L"\n";
    for (const auto &[names, description] : rows)
        usage += L"  " + names + std::wstring(width - names.size(), L' ') + L"\t" + description + L"\n";
    return usage;
}

bool PatcherCommandLine::ParseCommandLine(const std::vector<std::wstring> &arguments)
{
    wxCmdLineParser parser;
    DescribeOptions(parser);
    std::vector<wxChar *> argv;
    for (const std::wstring &argument : arguments)
        argv.push_back(const_cast<wxChar *>(argument.c_str()));
    argv.push_back(nullptr);
    parser.SetCmdLine(static_cast<int>(arguments.size()), argv.data());
    {
        // The toolkit's own account of a mistake is English: the usage and the catalogue's line
        // take its place, where the toolkit would have shown it.
        ToolkitMessagesDropped dropped;
        m_syntaxError = parser.Parse(false) != 0;
    }
    if (m_syntaxError)
    {
        if (wxMessageOutput *output = wxMessageOutput::Get())
            output->Output(UsageText() + SyntaxErrorText(arguments));
        return false;
    }

    PatchSettings &settings = m_settings;
    // The usage and the version are printed by the driver that runs without a window (main sends
    // both there), on standard output.
    m_help = parser.Found("h");
    m_version = parser.Found("version");
    m_unattended = parser.Found("u");
    settings.SetCheckOnly(parser.Found("check"));
    wxString value;
    if (parser.Found("o", &value))
    {
        m_onExitCommand = value.ToStdWstring();
        m_launchOnExit = true;
    }
    if (parser.Found("f", &value))
        settings.SetFinalVersion(WideToNarrow(value.ToStdWstring()));
    settings.SetRepairMode(parser.Found("r"));

    if (parser.GetParamCount() < 2)
        return false;
    settings.SetCurrentVersion(WideToNarrow(parser.GetParam(0).ToStdWstring()));
    settings.SetInstallPath(parser.GetParam(1).ToStdWstring());

    // Every "--server" given is an entry of its own, in the order given: the elevated copy
    // receives several servers that way.
    for (const wxCmdLineArg &argument : parser.GetArguments())
    {
        if (argument.GetKind() == wxCMD_LINE_OPTION && argument.GetShortName() == "s")
            settings.AddPatchServer(argument.GetStrVal().ToStdWstring());
    }
    if (parser.Found("l", &value))
        ReadServerList(value.ToStdWstring());
    if (!settings.PatchServers().empty())
        settings.SetDownloadMode(true);
    m_admin = parser.Found("a");
    return true;
}

void PatcherCommandLine::ReadServerList(const std::wstring &fileName)
{
    PatchSettings &settings = m_settings;
    std::ifstream file(PathToNative(fileName));
    size_t appended = 0;
    std::string line;
    while (file && std::getline(file, line))
    {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        // Blank lines (such as a final line end) name no server.
        if (line.empty())
            continue;
        settings.AddPatchServer(NarrowToWide(line));
        ++appended;
    }
    if (appended == 0)
    {
        ZelkSystemLogW(L"ParseCommandLine> no server list in %ls", fileName.c_str());
        ReportMessage(MessageError, LoadMessage(kIdServerListFailed) + fileName);
    }
}

std::string PatcherCommandLine::BuildRelaunchLine() const
{
    const PatchSettings &settings = m_settings;
    std::string line = "--admin ";
    if (m_unattended)
        line += "--unattended ";
    if (settings.RepairMode())
        line += "--repair ";
    for (const std::wstring &server : settings.PatchServers())
        line += "--server=\"" + WideToNarrow(server) + "\" ";
    line += "--final=" + settings.FinalVersion() + " ";
    line += settings.CurrentVersion() + " \"" + WideToNarrow(settings.InstallPath()) + "\"";
    return line;
}

std::vector<std::string> PatcherCommandLine::BuildRelaunchArguments() const
{
    const PatchSettings &settings = m_settings;
    std::vector<std::string> arguments{"--admin"};
    if (m_unattended)
        arguments.push_back("--unattended");
    if (settings.RepairMode())
        arguments.push_back("--repair");
    for (const std::wstring &server : settings.PatchServers())
        arguments.push_back("--server=" + PathToNative(server));
    arguments.push_back("--final=" + settings.FinalVersion());
    arguments.push_back(settings.CurrentVersion());
    arguments.push_back(PathToNative(settings.InstallPath()));
    return arguments;
}

bool PatcherCommandLine::RelaunchElevated(const std::wstring &executable)
{
    // Root gains nothing from a relaunch; the run reports what it may not change. Asked first, so
    // that root waits on a held registry lock once, in the run, and not here as well.
    if (ProcessHasAdminRights() && !ElevationProgramReplaced())
        return false;
    // A link on the installation's path that the run refuses is refused as this user: an elevated
    // copy would refuse it all the same.
    if (!m_settings.Installation().RefusedLink().empty() || CheckInstallWritable(m_settings.Installation()))
        return false;
    ZelkSystemLog("parm: %s", BuildRelaunchLine().c_str());
    const int status = RunElevatedCopy(executable, BuildRelaunchArguments());
    if (status == kElevationRefused || status == kElevationUnavailable)
        Dialogs().ShowMessageBox(nullptr, LoadMessage(kIdAdminText), LoadMessage(kIdAdminCaption), MessageBoxStyle::Ok);
    else
        m_elevatedExitStatus = status;
    LaunchOnExitProgram();
    return true;
}

void PatcherCommandLine::LaunchOnExitProgram()
{
    if (!m_launchOnExit || m_onExitCommand.empty())
        return;
    std::unique_ptr<ZelkProcess> process = ZelkProcess::Start(PathToNative(m_onExitCommand));
    if (!process)
    {
        const int error = errno;
        printf("%s%d\n", PathToNative(LoadMessage(kIdProcessFailed)).c_str(), error);
        fflush(stdout);
        return;
    }
    process->Wait(kOnExitWaitMilliseconds);
}
} // namespace ZelkPatch
