// Every tool takes its command line the same way: "--help" prints its usage and "--version" the
// project's version, both succeed, and each kind of mistake gets the same words and exit status 1
// from every tool.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "E2eFixtures.h"
#include "kernel/ProgramVersion.h"

namespace
{
using e2e::kBuild;

struct ToolCase
{
    const char *tool;
    const char *operands;    // as the tool names them
    const char *valueOption; // an option that needs a value, or nullptr
};

const ToolCase kTools[] = {
    {"zelk-jdiff", "OLD NEW DIFF", nullptr},
    {"zelk-jptch", "OLD DIFF OUT", nullptr},
    {"zelk-mkpatch", "OLD_DIR NEW_DIR OUT_ARCHIVE", "--exclude"},
    {"zelk-mklist", "OUT", "--step"},
    {"zelk-mkmanifest", "ROOT OUTDIR", "--serial"},
    {"zelk-mkpayload", "PATCHER OUT", "--target"},
    {"zelk-mksample", "DIR", "--version"},
    {"zelk-product-instance", "PATH", nullptr},
    {"zelk-segsum", "ROOT", "--summary"},
    {"zelk-repair-server", "ROOT", "--port"},
    {"zelk-damage", "DIR", "--delete"},
};

class ToolCommandLineTest : public ::testing::TestWithParam<ToolCase>
{
protected:
    // Runs the tool through a shell so that standard output and standard error can be told apart.
    int Run(const std::string &arguments, const std::string &redirect, std::string &output)
    {
        RunningProgram program({"/bin/sh", "-c", "exec \"$0\" " + arguments + " " + redirect,
                                kBuild + "/" + GetParam().tool});
        const int status = program.Wait();
        output = program.Output();
        return status;
    }

    std::string FirstOperand() const
    {
        const std::string operands = GetParam().operands;
        return operands.substr(0, operands.find(' '));
    }

    // As many operands as the tool takes, the first of them empty.
    std::string EmptyFirstOperand() const
    {
        std::string arguments = "''";
        for (char c : std::string(GetParam().operands))
            arguments += c == ' ' ? " x" : "";
        return arguments;
    }

    std::string Mistake(const std::string &problem) const
    {
        const std::string tool = GetParam().tool;
        return tool + ": " + problem + "\nTry '" + tool + " --help'.\n";
    }
};
} // namespace

TEST_P(ToolCommandLineTest, HelpGoesToStandardOutputAndSucceeds)
{
    std::string output;
    EXPECT_EQ(Run("--help", "2>/dev/null", output), 0);
    EXPECT_EQ(output.rfind("Usage: " + std::string(GetParam().tool) + " ", 0), 0u) << output;
    EXPECT_NE(output.find("Exit status"), std::string::npos) << output;
}

TEST_P(ToolCommandLineTest, VersionGoesToStandardOutputAndSucceeds)
{
    // The sample maker's own --version names the build it makes.
    if (GetParam().valueOption && std::string(GetParam().valueOption) == "--version")
        GTEST_SKIP();
    std::string output;
    EXPECT_EQ(Run("--version --bogus", "2>/dev/null", output), 0);
    EXPECT_EQ(output, std::string(GetParam().tool) + " " + ZelkProgramVersion() + "\n");
}

TEST_P(ToolCommandLineTest, MistakesAreSaidAlikeOnStandardErrorWithStatus1)
{
    struct Mistaken
    {
        std::string arguments;
        std::string problem;
    };
    std::vector<Mistaken> mistakes = {
        {"--bogus a b", "unknown option --bogus"},
        {"", "expected " + std::string(GetParam().operands)},
        {"one two three four", "expected " + std::string(GetParam().operands)},
        {EmptyFirstOperand(), FirstOperand() + " is empty"},
    };
    if (GetParam().valueOption)
        mistakes.push_back({GetParam().valueOption, std::string(GetParam().valueOption) + " needs a value"});
    for (const Mistaken &mistake : mistakes)
    {
        SCOPED_TRACE(mistake.arguments);
        std::string output;
        EXPECT_EQ(Run(mistake.arguments, "2>&1 >/dev/null", output), 1);
        EXPECT_EQ(output, Mistake(mistake.problem));
    }
}

INSTANTIATE_TEST_SUITE_P(Tools, ToolCommandLineTest, ::testing::ValuesIn(kTools),
                         [](const ::testing::TestParamInfo<ToolCase> &info) {
                             std::string name = info.param.tool;
                             for (char &c : name)
                                 c = c == '-' ? '_' : c;
                             return name;
                         });
