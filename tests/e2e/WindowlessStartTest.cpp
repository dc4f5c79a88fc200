// The patcher started as a user starts it over SSH or in a container: no DISPLAY, no
// WAYLAND_DISPLAY, GTK installed. The usage and the version print and succeed without a window;
// a start that needs a window says in one line why it cannot have one, and nothing of the
// toolkit's reaches the user.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "E2eFixtures.h"
#include "kernel/ProgramVersion.h"

namespace
{
using e2e::kBuild;
using e2e::ReadFile;

struct StartCase
{
    const char *name;
    std::vector<std::string> arguments;
    std::vector<std::string> environment; // "NAME=value", with DISPLAY and WAYLAND_DISPLAY unset
    int status;
    std::string standardOutput; // its beginning
    std::string standardError;  // all of it
};

const std::string kNoWindow = "pelmo-patcher: the window cannot be shown (no display: neither DISPLAY nor "
                              "WAYLAND_DISPLAY is set); -u runs without a window\n";

std::vector<StartCase> Cases()
{
    const std::string version = std::string("pelmo-patcher ") + ZelkProgramVersion() + "\n";
    return {
        {"NoArguments", {}, {}, 2, "", kNoWindow},
        {"ARunInTheWindow", {"100", "/opt/korvil"}, {}, 2, "", kNoWindow},
        {"Help", {"--help"}, {}, 0, "Usage: pelmo-patcher ", ""},
        {"ShortHelp", {"-h", "100", "/opt/korvil"}, {}, 0, "Usage: pelmo-patcher ", ""},
        {"Version", {"--version"}, {}, 0, version, ""},
        // A display is named, but no server is there.
        {"DisplayThatCannotBeOpened", {}, {"DISPLAY=:4093"}, 2, "",
         "pelmo-patcher: the window cannot be shown (the display :4093 cannot be opened); -u runs without a "
         "window\n"},
        {"InTheUsersLanguage", {}, {"LANG=de_DE.UTF-8"}, 2, "",
         "pelmo-patcher: Das Fenster kann nicht angezeigt werden (keine Anzeige: weder DISPLAY noch "
         "WAYLAND_DISPLAY ist gesetzt); mit -u l\u00e4uft es ohne Fenster\n"},
    };
}

class WindowlessStartTest : public ::testing::TestWithParam<StartCase>
{
protected:
    testfiles::TempDirectory m_temp{"zelk-e2e-windowless"};
};
} // namespace

TEST_P(WindowlessStartTest, AnswersWithoutTheToolkit)
{
    const StartCase &start = GetParam();
    const std::string errors = (m_temp.Path() / "stderr").string();
    std::vector<std::string> command{"/usr/bin/env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "LANG=C.UTF-8",
                                     "LC_ALL=", "LC_MESSAGES=",
                                     "PELMO_REGISTRY=" + (m_temp.Path() / "registry.reg").string()};
    command.insert(command.end(), start.environment.begin(), start.environment.end());
    command.insert(command.end(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>\"$ERRORS\"", kBuild + "/pelmo-patcher"});
    command.insert(command.end(), start.arguments.begin(), start.arguments.end());
    RunningProgram patcher(command, {"ERRORS=" + errors});
    ASSERT_TRUE(patcher.Started());

    EXPECT_EQ(patcher.Wait(), start.status);
    const std::string output = patcher.Output();
    if (start.standardOutput.empty())
    {
        EXPECT_EQ(output, "");
    }
    else
    {
        EXPECT_EQ(output.rfind(start.standardOutput, 0), 0u) << output;
    }
    EXPECT_EQ(ReadFile(errors), start.standardError);
}

INSTANTIATE_TEST_SUITE_P(Starts, WindowlessStartTest, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<StartCase> &info) { return std::string(info.param.name); });
