// The run without a window: message lines on standard output, printed message boxes, the exit
// status, cancelling by signal, and the language of the boxes before and during a run.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "TestFiles.h"
#include "TestRegistry.h"
#include "app/ConsoleHost.h"
#include "kernel/Terminal.h"
#include "kernel/TextConvert.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"

using namespace ZelkPatch;

namespace
{
// Output captured in a temporary file.
class CapturedStream
{
public:
    CapturedStream() : m_file(tmpfile()) {}
    ~CapturedStream() { fclose(m_file); }
    FILE *File() { return m_file; }
    std::string Text()
    {
        fflush(m_file);
        std::string text;
        rewind(m_file);
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, m_file)) > 0)
            text.append(buffer, got);
        return text;
    }

private:
    FILE *m_file;
};

// A run that waits to be released, moves the gauge one step of four and completes, or ends as a
// cancelled run once the console cancels it.
struct ScriptedRun
{
    ConsoleHost &host;
    std::atomic<bool> released{false};
    bool completes = true;

    ConsoleHost::RunFunction Function()
    {
        return [this] {
            RunOutcome outcome;
            for (;;)
            {
                if (host.IsCancelling())
                {
                    host.Message(MessageNormal, LoadMessage(163));
                    outcome.reason = RunEnd::Cancelled;
                    return outcome;
                }
                if (released.load())
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            host.GaugeRange(4);
            host.GaugeStep();
            host.Message(MessageNormal, LoadMessage(completes ? 162 : 163));
            outcome.completed = completes;
            outcome.reason = completes ? RunEnd::Completed : RunEnd::Failed;
            return outcome;
        };
    }
};

class ConsoleHostTest : public testing::Test
{
protected:
    void SetUp() override
    {
        SetCatalogueLanguage(kLanguageEnglish);
        ClearInterruptRequest();
    }

    CapturedStream m_output;
    CapturedStream m_progress;
};

struct ColourCase
{
    const char *name;
    bool colours;
    std::string expected;
};

void PrintTo(const ColourCase &value, std::ostream *out)
{
    *out << value.name;
}

class ConsoleLinesTest : public ConsoleHostTest, public testing::WithParamInterface<ColourCase>
{
};

TEST_P(ConsoleLinesTest, OneLinePerMessageInTheColourOfItsLevel)
{
    {
        ConsoleHost host(m_output.File(), m_progress.File(), GetParam().colours, false);
        host.Message(MessageNormal, L"plain");
        host.Message(MessageMinor, L"minor");
        host.Message(static_cast<MessageLevel>(7), L"keeps");
        host.Message(MessageNormal, L"Patching...\n");
        host.Message(MessageError, L"Fehler \u00e4");
        host.Message(MessageMinor, L"stale\n");
        host.Message(MessageError, L"");
    }
    EXPECT_EQ(m_output.Text(), GetParam().expected);
    EXPECT_EQ(m_progress.Text(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Terminal, ConsoleLinesTest,
    testing::Values(ColourCase{"Plain", false, "plain\nminor\nkeeps\nPatching...\n\nFehler \xc3\xa4\nstale\n\n\n"},
                    ColourCase{"Coloured", true,
                               "plain\n\x1b[90mminor\x1b[0m\n\x1b[90mkeeps\x1b[0m\nPatching...\n\n"
                               "\x1b[31mFehler \xc3\xa4\x1b[0m\n\x1b[90mstale\x1b[0m\n\n\x1b[31m\x1b[0m\n"}),
    [](const testing::TestParamInfo<ColourCase> &info) { return std::string(info.param.name); });

TEST_F(ConsoleHostTest, CompletedRunExitsZeroAndDrawsTheBar)
{
    ConsoleHost host(m_output.File(), m_progress.File(), false, true);
    ScriptedRun run{host};
    run.released = true;
    ASSERT_TRUE(host.StartRun(run.Function()));
    EXPECT_EQ(host.WaitForRun(), kExitCompleted);
    EXPECT_EQ(m_output.Text(), "Patching completed.\n");
    // One step of a gauge of range 4: a quarter full.
    EXPECT_NE(m_progress.Text().find("]  25%"), std::string::npos) << m_progress.Text();
}

TEST_F(ConsoleHostTest, ARunThatDoesNotCompleteExitsOne)
{
    ConsoleHost host(m_output.File(), m_progress.File(), false, false);
    ScriptedRun run{host};
    run.completes = false;
    run.released = true;
    ASSERT_TRUE(host.StartRun(run.Function()));
    EXPECT_EQ(host.WaitForRun(), kExitAborted);
}

TEST_F(ConsoleHostTest, InterruptSignalCancelsLikeCancelAndYes)
{
    InstallInterruptHandlers();
    ConsoleHost host(m_output.File(), m_progress.File(), false, false);
    ScriptedRun run{host};
    ASSERT_TRUE(host.StartRun(run.Function()));
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(getpid(), SIGINT);
    });
    EXPECT_EQ(host.WaitForRun(), kExitAborted);
    interrupter.join();
    EXPECT_TRUE(host.IsCancelling());
    EXPECT_EQ(m_output.Text(), WideToNarrow(LoadMessage(kIdCancelling)) + "\nPatching aborted.\n");
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
}

TEST_F(ConsoleHostTest, BoxesArePrintedAndNobodyPicksAFile)
{
    ConsoleHost host(m_output.File(), m_progress.File(), false, false);
    EXPECT_EQ(Dialogs().ShowMessageBox(nullptr, L"Text", L"Caption", MessageBoxStyle::Ok), MessageBoxAnswer::Ok);
    EXPECT_EQ(Dialogs().ShowMessageBox(nullptr, L"Sure?", L"Question", MessageBoxStyle::YesNo), MessageBoxAnswer::No);
    std::wstring path;
    EXPECT_FALSE(Dialogs().ChooseExistingFile(nullptr, L"Locate", L"*", path));
    EXPECT_EQ(m_output.Text(), "[Caption]\nText\n[Question]\nSure?\n");
}

// The boxes of start-up and those of a run follow the user's language alike.
TEST_F(ConsoleHostTest, RunShowsThePrivilegeBoxInTheLanguageOfStartUp)
{
    testfiles::TempDirectory temp;
    // A registry below a plain file can be neither made nor written, not even by root.
    testfiles::WriteFile(std::filesystem::path(temp / "plain-file"), "");
    testfiles::ScopedRegistry registry(temp / "plain-file/registry.reg");
    const char *oldLang = getenv("LANG");
    const std::string savedLang = oldLang != nullptr ? oldLang : "";
    setenv("LANG", "de_DE.UTF-8", 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    SetCatalogueLanguage(kLanguageNeutral);
    const std::wstring germanCaption = LoadMessage(134);
    const std::wstring germanText = LoadMessage(132);
    SetCatalogueLanguage(kLanguageEnglish);
    ASSERT_NE(germanCaption, LoadMessage(134));
    SetCatalogueLanguage(kLanguageNeutral);

    {
        ConsoleHost host(m_output.File(), m_progress.File(), false, false);
        // What start-up shows when the check fails there.
        Dialogs().ShowMessageBox(nullptr, LoadMessage(132), LoadMessage(134), MessageBoxStyle::Ok);
        PatchSettings settings;
        PatchPayload payload;
        ASSERT_TRUE(host.StartRun([&] {
            PatchRun run(settings, payload, host, host.CancelFlag());
            return run.Run();
        }));
        EXPECT_EQ(host.WaitForRun(), kExitAborted);
    }
    const std::string output = m_output.Text();
    const std::string box = "[" + PathToNative(germanCaption) + "]\n" + PathToNative(germanText);
    const size_t atStart = output.find(box);
    ASSERT_NE(atStart, std::string::npos) << output;
    EXPECT_NE(output.find(box, atStart + box.size()), std::string::npos) << "the run's box is not German: " << output;
    EXPECT_NE(output.find(PathToNative(LoadMessage(kIdNeedsAdmin)) + "\n"), std::string::npos) << output;

    if (oldLang != nullptr)
        setenv("LANG", savedLang.c_str(), 1);
    else
        unsetenv("LANG");
    SetCatalogueLanguage(kLanguageEnglish);
}
} // namespace
