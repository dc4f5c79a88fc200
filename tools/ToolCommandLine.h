// The command line of every tool: its options and operands, "--help", "--version", and the same
// words and the same exit status for every mistake on the command line, whichever tool it is made
// with.
//
//   ToolCommandLine line("zelk-jdiff", kUsage, {"OLD", "NEW", "DIFF"});
//   line.Flag("--verbose", verbose);
//   if (!line.Parse(argc, argv))
//       return line.ExitStatus();
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "kernel/ProgramVersion.h"

constexpr int kToolExitSuccess = 0;
// A mistake on the command line, in every tool (the patch tool's table gives it this code).
constexpr int kToolExitUsage = 1;
// The tool could not do its work; the patch tool tells its failures apart more finely.
constexpr int kToolExitFailure = 2;

class ToolCommandLine
{
public:
    // usage is the whole text "--help" prints, from its "Usage:" line on; operands name what the
    // tool takes after its options, each exactly once.
    ToolCommandLine(std::string program, std::string usage, std::vector<std::string> operands)
        : m_program(std::move(program)), m_usage(std::move(usage)), m_operandNames(std::move(operands))
    {
    }

    // An option without a value; set becomes true when it is given.
    void Flag(const std::string &name, bool &set)
    {
        m_options.push_back({name, false, false, [&set](const std::string &) {
                                 set = true;
                                 return std::string();
                             }});
    }

    // An option with a value ("--name VALUE" or "--name=VALUE"); the last one given counts.
    void Value(const std::string &name, std::string &value, bool required = false)
    {
        m_options.push_back({name, true, required, [&value](const std::string &given) {
                                 value = given;
                                 return std::string();
                             }});
    }

    // An option that may be given any number of times. take receives each value and returns what
    // is wrong with it, or an empty text.
    void Each(const std::string &name, std::function<std::string(const std::string &)> take)
    {
        m_options.push_back({name, true, false, std::move(take)});
    }

    // Reads the arguments. False when the tool ends at once with ExitStatus(): after "--help" or
    // "--version" (0, the usage or the project's version on standard output) or after a mistake
    // (1, reported on standard error).
    bool Parse(int argc, char **argv)
    {
        bool optionsEnded = false;
        for (int i = 1; i < argc; ++i)
        {
            const std::string argument = argv[i];
            if (optionsEnded || argument.size() < 2 || argument[0] != '-')
            {
                m_operands.push_back(argument);
                continue;
            }
            if (argument == "--")
            {
                optionsEnded = true;
                continue;
            }
            if (argument == "--help" || argument == "-h")
            {
                std::fputs(m_usage.c_str(), stdout);
                return End(kToolExitSuccess);
            }
            // A tool whose own "--version" takes a value (the sample maker's build) keeps it.
            if (argument == "--version" && Find(argument) == nullptr)
            {
                std::printf("%s %s\n", m_program.c_str(), ZelkProgramVersion());
                return End(kToolExitSuccess);
            }
            const size_t equals = argument.find('=');
            const std::string name = argument.substr(0, equals);
            Option *option = Find(name);
            if (option == nullptr)
                return End(UsageError("unknown option " + name));
            std::string value;
            if (!option->takesValue && equals != std::string::npos)
                return End(UsageError(name + " takes no value"));
            if (option->takesValue && equals != std::string::npos)
                value = argument.substr(equals + 1);
            else if (option->takesValue && i + 1 < argc)
                value = argv[++i];
            else if (option->takesValue)
                return End(UsageError(name + " needs a value"));
            const std::string problem = option->take(value);
            if (!problem.empty())
                return End(UsageError(problem));
            option->given = true;
        }
        if (m_operands.size() != m_operandNames.size())
        {
            std::string expected;
            for (const std::string &operand : m_operandNames)
                expected += (expected.empty() ? "" : " ") + operand;
            return End(UsageError("expected " + expected));
        }
        // An empty path would be taken for the current directory: a service whose ROOT was left
        // unset would serve the directory it started in.
        for (size_t i = 0; i < m_operands.size(); ++i)
        {
            if (m_operands[i].empty())
                return End(UsageError(m_operandNames[i] + " is empty"));
        }
        for (const Option &option : m_options)
        {
            if (option.required && !option.given)
                return End(UsageError(option.name + " is required"));
        }
        return true;
    }

    int ExitStatus() const { return m_exitStatus; }
    const std::vector<std::string> &Operands() const { return m_operands; }

    // Reports a mistake on the command line, also one found after Parse; gives kToolExitUsage.
    int UsageError(const std::string &problem) const
    {
        std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", m_program.c_str(), problem.c_str(), m_program.c_str());
        return kToolExitUsage;
    }

    // Reports why the tool's work failed; gives status.
    int Failure(const std::string &problem, int status = kToolExitFailure) const
    {
        std::fprintf(stderr, "%s: %s\n", m_program.c_str(), problem.c_str());
        return status;
    }

private:
    struct Option
    {
        std::string name;
        bool takesValue;
        bool required;
        std::function<std::string(const std::string &)> take;
        bool given = false;
    };

    Option *Find(const std::string &name)
    {
        for (Option &option : m_options)
        {
            if (option.name == name)
                return &option;
        }
        return nullptr;
    }

    bool End(int status)
    {
        m_exitStatus = status;
        return false;
    }

    std::string m_program;
    std::string m_usage;
    std::vector<std::string> m_operandNames;
    std::vector<Option> m_options;
    std::vector<std::string> m_operands;
    int m_exitStatus = kToolExitSuccess;
};
