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

#include "AppTestSupport.h"
#include "app/ConsoleHost.h"
#include "run/MessageCatalogue.h"
#include "app/PatchThread.h"
#include "kernel/Terminal.h"
#include "kernel/TextConvert.h"
#include "patch/FixedTexts.h"

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

// Ends with the given last line once released, or with "Patching aborted." when cancelled.
class ScriptedWorker : public APThread
{
public:
    ScriptedWorker(RunHost *host, std::wstring lastLine) : APThread(host), m_lastLine(std::move(lastLine)) {}
    std::atomic<bool> released{false};

protected:
    ExitCode Entry() override
    {
        for (;;)
        {
            if (Host()->IsCancelling())
            {
                PostFrameMessage(MessageNormal, LoadMessage(163));
                return APThread::Entry();
            }
            if (released.load())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        FrameProgressBegin(2);
        FrameProgressStep();
        PostFrameMessage(MessageNormal, m_lastLine);
        return APThread::Entry();
    }

private:
    std::wstring m_lastLine;
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
        PostFrameMessage(MessageNormal, L"plain");
        PostFrameMessage(MessageMinor, L"minor");
        PostFrameMessage(static_cast<MessageLevel>(7), L"keeps");
        PostFrameMessage(MessageNormal, L"Patching...\n");
        PostFrameMessage(MessageError, L"Fehler \u00e4");
        PostFrameMessage(MessageMinor, L"stale\n");
        PostFrameMessage(MessageError, L"");
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
    auto worker = std::make_unique<ScriptedWorker>(&host, LoadMessage(162));
    worker->released = true;
    ASSERT_TRUE(host.StartRun(std::move(worker)));
    EXPECT_EQ(host.WaitForRun(), kExitCompleted);
    EXPECT_EQ(m_output.Text(), "Patching completed.\n");
    // One step of a two-step operation: the gauge of range 4 is a quarter full.
    EXPECT_NE(m_progress.Text().find("]  25%"), std::string::npos) << m_progress.Text();
}

TEST_F(ConsoleHostTest, OtherLastLineExitsOne)
{
    ConsoleHost host(m_output.File(), m_progress.File(), false, false);
    auto worker = std::make_unique<ScriptedWorker>(&host, LoadMessage(163));
    worker->released = true;
    ASSERT_TRUE(host.StartRun(std::move(worker)));
    EXPECT_EQ(host.WaitForRun(), kExitAborted);
}

TEST_F(ConsoleHostTest, InterruptSignalCancelsLikeCancelAndYes)
{
    InstallInterruptHandlers();
    ConsoleHost host(m_output.File(), m_progress.File(), false, false);
    ASSERT_TRUE(host.StartRun(std::make_unique<ScriptedWorker>(&host, LoadMessage(162))));
    std::thread interrupter([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kill(getpid(), SIGINT);
    });
    EXPECT_EQ(host.WaitForRun(), kExitAborted);
    interrupter.join();
    EXPECT_TRUE(host.IsCancelling());
    EXPECT_EQ(m_output.Text(), WideToNarrow(kTextCancelling) + "\nPatching aborted.\n");
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

// The boxes of start-up follow the user's language; a run switches the catalogue to English.
TEST_F(ConsoleHostTest, RunShowsThePrivilegeBoxInEnglishAfterAGermanStartUp)
{
    AppTest::TempDirectory temp;
    // A registry below a plain file can be neither made nor written, not even by root.
    AppTest::WriteFile(temp / "plain-file", "");
    AppTest::ScopedRegistry registry(temp / "plain-file/registry.reg");
    const char *oldLang = getenv("LANG");
    const std::string savedLang = oldLang != nullptr ? oldLang : "";
    setenv("LANG", "de_DE.UTF-8", 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    SetCatalogueLanguage(kLanguageNeutral);
    const std::wstring germanCaption = LoadMessage(134);
    SetCatalogueLanguage(kLanguageEnglish);
    const std::wstring englishCaption = LoadMessage(134);
    const std::wstring englishText = LoadMessage(132);
    SetCatalogueLanguage(kLanguageNeutral);
    ASSERT_NE(germanCaption, englishCaption);

    {
        ConsoleHost host(m_output.File(), m_progress.File(), false, false);
        // What start-up shows when the check fails there.
        Dialogs().ShowMessageBox(nullptr, LoadMessage(132), LoadMessage(134), MessageBoxStyle::Ok);
        ASSERT_TRUE(host.StartRun(std::make_unique<PatchThread>(&host)));
        EXPECT_EQ(host.WaitForRun(), kExitAborted);
    }
    const std::string output = m_output.Text();
    const size_t german = output.find("[" + PathToNative(germanCaption) + "]");
    const size_t english = output.find("[" + PathToNative(englishCaption) + "]\n" + PathToNative(englishText));
    EXPECT_NE(german, std::string::npos) << output;
    EXPECT_NE(english, std::string::npos) << output;
    EXPECT_LT(german, english);
    EXPECT_NE(output.find("Patching requires Administrator privileges.\n"), std::string::npos) << output;

    if (oldLang != nullptr)
        setenv("LANG", savedLang.c_str(), 1);
    else
        unsetenv("LANG");
    SetCatalogueLanguage(kLanguageEnglish);
}
} // namespace
