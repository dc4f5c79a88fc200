#include "app/ConsoleHost.h"

#include <chrono>
#include <utility>

#include "app/PatchThread.h"
#include "kernel/CrashHandler.h"
#include "kernel/Terminal.h"
#include "kernel/TextConvert.h"
#include "kernel/WorkerThreads.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"

namespace ZelkPatch
{
namespace
{
constexpr const char *kGrey = "\x1b[90m";
constexpr const char *kRed = "\x1b[31m";
constexpr const char *kReset = "\x1b[0m";
constexpr const char *kEraseLine = "\r\x1b[K";
constexpr auto kSignalPoll = std::chrono::milliseconds(100);
// Room on the bar's line for the brackets and the percentage.
constexpr int kBarDecoration = 8;
constexpr int kMinimumBarWidth = 10;

std::string Utf8(const std::wstring &text)
{
    return PathToNative(text);
}
} // namespace

ConsoleHost::ConsoleHost(FILE *output, FILE *progress, bool colours, bool progressBar)
    : m_output(output), m_progress(progress), m_colours(colours), m_progressBar(progressBar)
{
    SetUserDialogs(this);
}

ConsoleHost::~ConsoleHost()
{
    if (m_worker.joinable())
        m_worker.join();
    Finish();
    SetUserDialogs(nullptr);
}

bool ConsoleHost::StartRun(RunFunction run)
{
    if (!run || m_worker.joinable())
        return false;
    return StartThread(m_worker, [this, run = std::move(run)] {
        const ZelkFatalExceptionGuard guard(kRunWorkerThreadName);
        const RunOutcome outcome = run();
        std::lock_guard<std::mutex> lock(m_finishLock);
        m_outcome = outcome;
        m_runFinished = true;
        m_finished.notify_all();
    });
}

int ConsoleHost::WaitForRun()
{
    if (!m_worker.joinable())
        return kExitNoRun;
    {
        std::unique_lock<std::mutex> lock(m_finishLock);
        while (!m_runFinished)
        {
            m_finished.wait_for(lock, kSignalPoll);
            if (InterruptRequested() && !m_cancelling.load())
            {
                lock.unlock();
                RequestCancel();
                lock.lock();
            }
        }
    }
    m_worker.join();
    Finish();
    std::lock_guard<std::mutex> lock(m_finishLock);
    return m_outcome.completed ? kExitCompleted : kExitAborted;
}

void ConsoleHost::RequestCancel()
{
    if (m_cancelling.exchange(true))
        return;
    Message(MessageError, LoadMessage(kIdCancelling));
}

void ConsoleHost::Message(MessageLevel level, const std::wstring &text)
{
    const std::string line = Utf8(text);
    std::lock_guard<std::mutex> lock(m_lock);
    WriteLine(line, level);
}

void ConsoleHost::WriteLine(const std::string &text, MessageLevel level)
{
    EraseBar();
    if (level == MessageNormal || level == MessageMinor || level == MessageError)
        m_colour = level;
    // Each message is a line of its own: the window's rule of a line feed before every message
    // but the first reads the same once the last line is ended.
    if (m_colours && m_colour != MessageNormal)
    {
        // The colour ends before the text's own line ends, so that no empty line carries it.
        const size_t end = text.find_last_not_of("\r\n") + 1;
        fprintf(m_output, "%s%s%s%s\n", m_colour == MessageMinor ? kGrey : kRed, text.substr(0, end).c_str(), kReset,
                text.substr(end).c_str());
    }
    else
        fprintf(m_output, "%s\n", text.c_str());
    fflush(m_output);
    DrawBar();
}

MessageBoxAnswer ConsoleHost::AskMessageBox(const std::wstring &text, const std::wstring &caption,
                                            MessageBoxStyle style)
{
    return ShowMessageBox(nullptr, text, caption, style);
}

bool ConsoleHost::AskExistingFile(const std::wstring &title, const std::wstring &filter, std::wstring &path)
{
    return ChooseExistingFile(nullptr, title, filter, path);
}

MessageBoxAnswer ConsoleHost::ShowMessageBox(wxWindow *, const std::wstring &text, const std::wstring &caption,
                                             MessageBoxStyle style)
{
    std::lock_guard<std::mutex> lock(m_lock);
    EraseBar();
    fprintf(m_output, "[%s]\n%s\n", Utf8(caption).c_str(), Utf8(text).c_str());
    fflush(m_output);
    DrawBar();
    // Nobody is there to answer: the default button stands.
    return style == MessageBoxStyle::Ok ? MessageBoxAnswer::Ok : MessageBoxAnswer::No;
}

bool ConsoleHost::ChooseExistingFile(wxWindow *, const std::wstring &, const std::wstring &, std::wstring &)
{
    return false;
}

void ConsoleHost::GaugeRange(int range)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_gaugeUsed = true;
    m_gaugeRange = range;
    m_gaugeValue = 0;
    DrawBar();
}

void ConsoleHost::GaugeValue(int value)
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_gaugeUsed = true;
    m_gaugeValue = std::min(std::max(value, 0), m_gaugeRange);
    DrawBar();
}

void ConsoleHost::DownloadProgress(const TransferProgress &progress, bool running)
{
    if (!running || progress.expectedSize == 0)
        return;
    std::lock_guard<std::mutex> lock(m_lock);
    m_gaugeUsed = true;
    m_gaugeRange = 100;
    m_gaugeValue = static_cast<int>(std::min<uint32_t>(progress.percent, 100));
    DrawBar();
}

void ConsoleHost::GaugeStep()
{
    std::lock_guard<std::mutex> lock(m_lock);
    m_gaugeUsed = true;
    if (m_gaugeValue < m_gaugeRange)
        ++m_gaugeValue;
    DrawBar();
}

void ConsoleHost::DrawBar()
{
    if (!m_progressBar || !m_gaugeUsed || m_gaugeRange <= 0)
        return;
    const int width = std::max(TerminalColumns() - kBarDecoration, kMinimumBarWidth);
    const int filled = static_cast<int>(static_cast<long long>(width) * m_gaugeValue / m_gaugeRange);
    const int percent = static_cast<int>(100LL * m_gaugeValue / m_gaugeRange);
    fprintf(m_progress, "%s[%s%s] %3d%%", kEraseLine, std::string(filled, '#').c_str(),
            std::string(width - filled, '-').c_str(), percent);
    fflush(m_progress);
    m_barShown = true;
}

void ConsoleHost::EraseBar()
{
    if (!m_barShown)
        return;
    fputs(kEraseLine, m_progress);
    fflush(m_progress);
    m_barShown = false;
}

void ConsoleHost::Finish()
{
    std::lock_guard<std::mutex> lock(m_lock);
    EraseBar();
    m_progressBar = false;
}
} // namespace ZelkPatch
