// The bash completion that the packages install, run as bash-completion runs it: a word being
// typed after a program's name gives the options its --help names, or zelk-sign's commands;
// anything else is left to file-name completion.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "E2eFixtures.h"

namespace
{
using e2e::kBuild;

struct CompletionCase
{
    std::vector<std::string> words; // the program, then the words typed, the last one being completed
    std::string completions;        // one a line
};

const CompletionCase kCases[] = {
    {{"pelmo-patcher", "--ser"}, "--server=\n"},
    {{"pelmo-patcher", "-u", "--ch"}, "--check\n"},
    {{"zelk-jdiff", "--ver"}, "--verbose\n--version\n"},
    {{"zelk-repair-server", "/srv/korvil", "--ca"}, "--cache\n"},
    {{"zelk-sign", "ver"}, "verify\nverify-payload\n"},
    {{"zelk-sign", "keygen", "pub"}, ""},
    {{"zelk-mkpatch", "old"}, ""},
};

class ShellCompletionTest : public ::testing::TestWithParam<CompletionCase>
{
};
} // namespace

TEST_P(ShellCompletionTest, CompletesFromTheProgramsOwnHelp)
{
    const std::string script = "source \"$0\"\n"
                               "COMP_WORDS=(\"$@\")\n"
                               "COMP_CWORD=$(($# - 1))\n"
                               "_pelmo_complete \"$1\" \"${@: -1}\" \"${@: -2:1}\"\n"
                               "if ((${#COMPREPLY[@]})); then printf '%s\\n' \"${COMPREPLY[@]}\"; fi\n";
    std::vector<std::string> command{"/bin/bash", "-c", script, std::string(ZELK_SOURCE_DIR) + "/packaging/bash-completion"};
    command.insert(command.end(), GetParam().words.begin(), GetParam().words.end());
    RunningProgram bash(command, {"PATH=" + kBuild + ":/usr/bin:/bin"});
    EXPECT_EQ(bash.Wait(), 0);
    EXPECT_EQ(bash.Output(), GetParam().completions);
}

INSTANTIATE_TEST_SUITE_P(Words, ShellCompletionTest, ::testing::ValuesIn(kCases));
