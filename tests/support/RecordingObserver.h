// An observer of a patch run that keeps everything it is told and answers questions from a script:
// message boxes from a list of answers (then No; OK boxes are simply shown), file picks from a list
// (then cancel). It may press "Cancel" itself once a chosen line arrives. Safe from any thread.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "run/RunObserver.h"

namespace testrun
{
class RecordingObserver : public ZelkPatch::RunObserver
{
public:
    using Line = std::pair<int, std::wstring>;
    using GaugeCall = std::pair<std::string, int>;

    void Message(MessageLevel level, const std::wstring &text) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        lines.push_back({level, text});
        if (!cancelOn.empty() && text == cancelOn)
            cancel.store(true);
    }
    void GaugeRange(int range) override { Record("range", range); }
    void GaugeValue(int value) override { Record("value", value); }
    void GaugeStep() override { Record("step", 1); }
    void DownloadProgress(const TransferProgress &progress, bool running) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        downloads.push_back({progress.bytesDone, running});
    }
    ZelkPatch::MessageBoxAnswer AskMessageBox(const std::wstring &text, const std::wstring &caption,
                                              ZelkPatch::MessageBoxStyle style) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        boxes.push_back({caption, text});
        if (style == ZelkPatch::MessageBoxStyle::Ok)
            return ZelkPatch::MessageBoxAnswer::Ok;
        if (answers.empty())
            return ZelkPatch::MessageBoxAnswer::No;
        const ZelkPatch::MessageBoxAnswer answer = answers.front();
        answers.pop_front();
        return answer;
    }
    bool AskExistingFile(const std::wstring &title, const std::wstring &filter, std::wstring &path) override
    {
        std::lock_guard<std::mutex> lock(m_lock);
        fileDialogs.push_back({title, filter});
        if (picks.empty())
            return false;
        path = picks.front();
        picks.pop_front();
        return true;
    }

    std::vector<Line> Lines()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return lines;
    }
    std::vector<GaugeCall> Gauge()
    {
        std::lock_guard<std::mutex> lock(m_lock);
        return gauge;
    }

    std::vector<Line> lines;
    std::vector<GaugeCall> gauge;
    // bytes done, and whether the download still ran
    std::vector<std::pair<uint64_t, bool>> downloads;
    std::deque<ZelkPatch::MessageBoxAnswer> answers;
    std::deque<std::wstring> picks;
    // caption and text of every box shown
    std::vector<std::pair<std::wstring, std::wstring>> boxes;
    // title and filter of every file dialog shown
    std::vector<std::pair<std::wstring, std::wstring>> fileDialogs;
    // The run's cancel flag, and the line upon which the observer sets it (none when empty).
    std::atomic<bool> cancel{false};
    std::wstring cancelOn;

private:
    void Record(const char *what, int number)
    {
        std::lock_guard<std::mutex> lock(m_lock);
        gauge.push_back({what, number});
    }

    std::mutex m_lock;
};
} // namespace testrun
