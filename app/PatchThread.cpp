#include "app/PatchThread.h"

#include "app/FrameHooks.h"
#include "app/MessageCatalogue.h"
#include "app/PatchSettings.h"
#include "app/PelmoPatcherApp.h"
#include "kernel/TextConvert.h"

namespace ZelkPatch
{
namespace
{
std::atomic<APThread *> g_currentWorker{nullptr};

constexpr unsigned kIdAdminText = 132;
constexpr unsigned kIdAdminCaption = 134;
constexpr unsigned kIdNeedsAdmin = 154;
constexpr unsigned kIdPatchingAborted = 163;
} // namespace

APThread::APThread(RunHost *host) : wxThread(wxTHREAD_JOINABLE), m_host(host)
{
    g_currentWorker.store(this);
}

APThread::~APThread()
{
    APThread *self = this;
    g_currentWorker.compare_exchange_strong(self, nullptr);
}

APThread *APThread::CurrentWorker()
{
    return g_currentWorker.load();
}

bool APThread::StopRequested()
{
    // The toolkit answers this question only on the thread itself.
    return wxThread::This() == this && TestDestroy();
}

wxThread::ExitCode APThread::Entry()
{
    if (m_host != nullptr)
        m_host->RunFinished();
    return nullptr;
}

PatchThread::PatchThread(RunHost *host) : APThread(host)
{
}

void PatchThread::Report(MessageLevel level, const std::string &text)
{
    PostFrameMessage(level, NarrowToWide(text));
}

void PatchThread::Report(MessageLevel level, const std::wstring &text)
{
    PostFrameMessage(level, text);
}

wxThread::ExitCode PatchThread::Entry()
{
    SetCatalogueLanguage(kLanguageEnglish);
    if (!CheckInstallWritable(PatchSettings::Get().InstallPath()))
    {
        PostFrameMessage(MessageError, LoadMessage(kIdNeedsAdmin));
        if (Host() != nullptr)
            Host()->ShowMessageBox(LoadMessage(kIdAdminText), LoadMessage(kIdAdminCaption), MessageBoxStyle::Ok);
    }
    else
    {
        // The modes are carried out here once the run driver exists.
        PostFrameMessage(MessageError, L"This patch operation is not available yet.");
    }
    PostFrameMessage(MessageNormal, LoadMessage(kIdPatchingAborted));
    return APThread::Entry();
}
} // namespace ZelkPatch
