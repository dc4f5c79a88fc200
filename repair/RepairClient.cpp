#include "repair/RepairClient.h"

#include <array>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkSystemLog.h"
#include "repair/RepairProtocol.h"

namespace
{
constexpr size_t kMinRootLength = 5;
constexpr wchar_t kQuote = L'"';
constexpr wchar_t kLastAscii = 127;
// The answer is preset so that a handshake read that fails counts as a wrong version.
constexpr uint32_t kNoVersion = 0xFFFFFFFFu;
// The suffix of the files a save of the summary writes before it renames one over the summary;
// one left by a crash is not part of the installation.
constexpr wchar_t kReplacementPattern[] = L".tmp-*";

bool IsPlainEnd(wchar_t c)
{
    return c != kQuote && c <= kLastAscii;
}
} // namespace

RepairClient::RepairClient() : m_connection(std::make_unique<ZelkDataBufferTCP>()) {}

RepairClient::~RepairClient()
{
    if (!m_thread)
        return;
    {
        std::lock_guard<std::mutex> lock(m_connectionLock);
        m_cancel = true;
        // Ends a read or a connect that waits on the server.
        m_connection->Disconnect(true);
    }
    m_thread->Wait();
    m_thread.reset();
}

ZELKRESULT RepairClient::Configure()
{
    if (m_busy)
        return ZELKRESULT_INVALID_STATE;
    m_stage = StageConfigured;
    m_success = false;
    m_error = ZELKRESULT_OK;
    return ZELKRESULT_OK;
}

ZELKRESULT RepairClient::SetRoot(const std::wstring &path)
{
    if (m_busy)
        return ZELKRESULT_INVALID_STATE;
    if (path.size() < kMinRootLength || !IsPlainEnd(path.front()) || !IsPlainEnd(path.back()))
        return ZELKRESULT_INVALID_ARGUMENT;
    m_root = path;
    m_givenRootDirectory.reset();
    return Configure();
}

ZELKRESULT RepairClient::SetRootDirectory(std::shared_ptr<const ConfinedDirectory> directory)
{
    if (!directory)
        return ZELKRESULT_INVALID_ARGUMENT;
    if (const ZELKRESULT result = SetRoot(directory->Path()))
        return result;
    m_givenRootDirectory = std::move(directory);
    return ZELKRESULT_OK;
}

ZELKRESULT RepairClient::SetSummaryPath(const std::wstring &path)
{
    if (m_busy)
        return ZELKRESULT_INVALID_STATE;
    if (path.empty())
        return ZELKRESULT_INVALID_ARGUMENT;
    m_summaryPath = path;
    return Configure();
}

ZELKRESULT RepairClient::SetServerAddress(const IPv4Endpoint &address)
{
    if (m_busy)
        return ZELKRESULT_INVALID_STATE;
    m_serverAddress = address;
    return Configure();
}

ZELKRESULT RepairClient::SetExclusions(const std::set<std::wstring> &paths)
{
    if (m_busy)
        return ZELKRESULT_INVALID_STATE;
    m_exclusions = paths;
    return ZELKRESULT_OK;
}

ZELKRESULT RepairClient::SetRepairAddress(const std::string &base)
{
    if (m_busy)
        return ZELKRESULT_INVALID_STATE;
    m_repairAddress = base;
    return Configure();
}

ZELKRESULT RepairClient::SetManifestAddress(const std::string &base)
{
    if (m_busy)
        return ZELKRESULT_INVALID_STATE;
    m_manifestAddress = base;
    return Configure();
}

ZELKRESULT RepairClient::SetPublisherKey(const std::optional<PublisherKey> &key)
{
    if (m_busy)
        return ZELKRESULT_INVALID_STATE;
    m_publisherKey = key;
    return Configure();
}

ZELKRESULT RepairClient::SetDigestCachePath(const std::wstring &path)
{
    if (m_busy)
        return ZELKRESULT_INVALID_STATE;
    m_digestCachePath = path;
    return ZELKRESULT_OK;
}

void RepairClient::Start()
{
    if (m_busy)
        return;
    m_stage = StageStarted;
    m_busy = true;
    m_success = false;
    m_error = ZELKRESULT_OK;
    m_cancel = false;
    m_checkRecords = false;
    {
        std::lock_guard<std::mutex> lock(m_refusalLock);
        m_refusal = RepairRefusal::None;
        m_refusalSubject.clear();
    }
    if (!m_thread)
        m_thread = std::make_unique<OS::Thread>();
    // A worker that has just cleared busy may still be on its way out.
    m_thread->Wait();
    try
    {
        m_thread->Start(WorkerEntry, this);
    }
    catch (const OSException &)
    {
        ZelkSystemLog("RepairClient::Start> no worker thread\n");
        m_error = ZELKRESULT_NO_MEMORY;
        m_busy = false;
    }
}

bool RepairClient::Succeeded() const
{
    return !m_busy && m_stage == StageFinished && m_error == ZELKRESULT_OK;
}

RepairRefusal RepairClient::GetRefusal() const
{
    std::lock_guard<std::mutex> lock(m_refusalLock);
    return m_refusal;
}

std::wstring RepairClient::GetRefusalSubject() const
{
    std::lock_guard<std::mutex> lock(m_refusalLock);
    return m_refusalSubject;
}

void RepairClient::Refuse(RepairRefusal refusal, const std::wstring &subject)
{
    std::lock_guard<std::mutex> lock(m_refusalLock);
    // The first refusal is the one that ended the run.
    if (m_refusal != RepairRefusal::None || refusal == RepairRefusal::None)
        return;
    m_refusal = refusal;
    m_refusalSubject = subject;
}

void RepairClient::RecordRefused(const std::wstring &path, RepairRefusal refusal)
{
    Refuse(refusal, path);
}

void RepairClient::WaitWhileBusy(unsigned milliseconds)
{
    std::unique_lock<std::mutex> lock(m_endLock);
    m_ended.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return !m_busy.load(); });
}

std::wstring RepairClient::NameBelowRoot(const std::wstring &path) const
{
    std::wstring root = m_root;
    std::wstring name = path;
    NormalizeSeparators(root);
    NormalizeSeparators(name);
    if (root.back() != kPathSeparator)
        root += kPathSeparator;
    return name.compare(0, root.size(), root) == 0 ? name.substr(root.size()) : std::wstring();
}

float RepairClient::GetProgress() const
{
    const int32_t stage = m_stage;
    if (stage == StageFinished)
        return 1.0f;
    if (stage < StageReceiving)
        return 0.0f;
    const uint32_t total = m_total;
    const uint32_t received = m_received;
    if (total == 0)
        return 0.0f;
    if (received >= total)
        return 1.0f;
    return static_cast<float>(received) / static_cast<float>(total);
}

uint32_t RepairClient::WorkerEntry(void *parameter)
{
    RepairClient &client = *static_cast<RepairClient *>(parameter);
    const ZELKRESULT error = client.Work();
    // Done or cancelled, the server learns it from a hard close; it expects nothing more.
    {
        std::lock_guard<std::mutex> lock(client.m_connectionLock);
        client.m_connection->Disconnect(true);
    }
    client.m_error = error;
    if (error == ZELKRESULT_OK)
    {
        client.m_stage = StageFinished;
        client.m_success = true;
    }
    {
        std::lock_guard<std::mutex> lock(client.m_endLock);
        client.m_busy = false;
    }
    client.m_ended.notify_all();
    return static_cast<uint32_t>(error);
}

ZELKRESULT RepairClient::Work()
{
    if (m_root.empty() || m_summaryPath.empty())
        return ZELKRESULT_INVALID_ARGUMENT;
    const bool fromWeb = !m_repairAddress.empty();
    m_stage = StageScanning;
    // Held for the whole run: the owner of the installation may swap its path for a link
    // elsewhere while the run goes on.
    m_rootDirectory =
        m_givenRootDirectory ? m_givenRootDirectory : std::make_shared<const ConfinedDirectory>(m_root);
    if (!m_rootDirectory->IsOpen())
    {
        ZelkSystemLogW(L"RepairClient> cannot open the installation %ls\n", m_root.c_str());
        return ZELKRESULT_IO;
    }
    if (const ZELKRESULT result = Scan())
        return result;
    // A cancel before the download ends the run at the next stage boundary (the scan itself runs
    // to its end); the connection cannot be waited on yet.
    if (m_cancel)
        return ZELKRESULT_ABORTED;
    m_stage = StageConnecting;
    if (const ZELKRESULT result = FetchManifest())
        return result;
    if (!fromWeb)
    {
        if (const ZELKRESULT result = Connect())
            return result;
    }
    if (m_cancel)
        return ZELKRESULT_ABORTED;
    m_stage = StagePreparing;
    if (const ZELKRESULT result = fromWeb ? PlanFromWeb() : ExchangeSummary())
        return result;
    if (m_cancel)
        return ZELKRESULT_ABORTED;
    m_stage = StageReceiving;
    if (fromWeb)
        return DownloadFromWeb();
    const bool complete = Download();
    if (!complete || m_received < m_total)
        return ZELKRESULT_CONNECTION_LOST;
    return ZELKRESULT_OK;
}

ZELKRESULT RepairClient::Scan()
{
    const std::wstring summaryName = NameBelowRoot(m_summaryPath);
    // Only this client writes the summary file of the installation, so what a crashed save left
    // beside it can go.
    if (summaryName.empty())
    {
        LoadSummaryFile(m_summary, m_summaryPath);
        RemoveAbandonedReplacements(m_summaryPath);
    }
    else
    {
        LoadSummaryFile(m_summary, *m_rootDirectory, summaryName);
        RemoveAbandonedReplacements(*m_rootDirectory, summaryName);
    }
    std::set<std::wstring> patterns;
    if (!summaryName.empty())
    {
        patterns.insert(summaryName);
        // Also when it could not be removed: it is the summary's, not the installation's.
        patterns.insert(summaryName + kReplacementPattern);
    }
    const std::wstring digestsName = m_digestCachePath.empty() ? std::wstring() : NameBelowRoot(m_digestCachePath);
    if (digestsName.empty() && !m_digestCachePath.empty())
        RemoveAbandonedReplacements(m_digestCachePath);
    if (!digestsName.empty())
    {
        RemoveAbandonedReplacements(*m_rootDirectory, digestsName);
        patterns.insert(digestsName);
        patterns.insert(digestsName + kReplacementPattern);
    }
    for (const std::wstring &excluded : m_exclusions)
    {
        const std::wstring name = NameBelowRoot(excluded);
        if (!name.empty())
            patterns.insert(name);
    }
    m_summary.Scan(*m_rootDirectory, patterns);
    SaveSummary();
    return ZELKRESULT_OK;
}

ZELKRESULT RepairClient::FetchManifest()
{
    const std::string &base = m_repairAddress.empty() ? m_manifestAddress : m_repairAddress;
    if (base.empty())
        return ZELKRESULT_OK;
    // A web repair keeps what it needs between runs beside the summary, the manifest among it.
    const bool fromWeb = !m_repairAddress.empty();
    if (fromWeb)
        LoadDigests();
    CancelFlagCallback cancel(m_cancel);
    RepairRefusal refusal = RepairRefusal::None;
    KeptRepairManifest kept = m_digests.GetKeptManifest();
    const ZELKRESULT result = FetchRepairManifest(base, m_publisherKey ? &*m_publisherKey : nullptr, &cancel,
                                                  fromWeb ? &kept : nullptr, m_manifest, refusal);
    if (result != ZELKRESULT_OK)
    {
        Refuse(refusal, NativeToPath(base));
        return result;
    }
    if (fromWeb)
        m_digests.KeepManifest(kept);
    ZelkSystemLog("RepairClient> manifest of %s: serial %llu, %zu files\n", base.c_str(),
                  static_cast<unsigned long long>(m_manifest.GetSerial()), m_manifest.GetFiles().size());
    m_checkRecords = m_repairAddress.empty();
    return ZELKRESULT_OK;
}

ZELKRESULT RepairClient::Connect()
{
    ZelkDataBufferTCP *connection = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_connectionLock);
        if (m_cancel)
            return ZELKRESULT_ABORTED;
        // A client run before has closed its connection for good.
        m_connection = std::make_unique<ZelkDataBufferTCP>();
        connection = m_connection.get();
    }
    if (const ZELKRESULT result = connection->Connect(m_serverAddress))
        return result;
    if (const ZELKRESULT result = WriteRepairUint32(*connection, kRepairProtocolVersion))
        return result;
    uint32_t version = kNoVersion;
    ReadRepairUint32(*connection, version);
    if (version != kRepairProtocolVersion)
    {
        ZelkSystemLog("RepairClient> the server speaks version %u, not %u\n", version, kRepairProtocolVersion);
        return ZELKRESULT_BAD_FORMAT;
    }
    return ZELKRESULT_OK;
}

ZELKRESULT RepairClient::ExchangeSummary()
{
    if (const ZELKRESULT result = m_summary.Save(*m_connection))
        return result;
    m_received = 0;
    m_total = 0;
    uint32_t total = 0;
    if (const ZELKRESULT result = ReadRepairUint32(*m_connection, total))
        return result;
    m_total = total;
    return ZELKRESULT_OK;
}

bool RepairClient::Download()
{
    // In each turn task i receives, the task received two turns earlier is handed to its writer
    // (once its expansion has ended), and the one received three turns earlier is waited for and
    // freed: receiving overlaps expansion and writing, one writer runs at a time, and segments are
    // written in the order they arrived.
    std::array<ZelkAgentClientTask, kTaskCount> tasks;
    bool complete = m_connection->IsConnected();
    size_t i = 0;
    uint32_t sinceSave = 0;
    while (complete && m_received < m_total && !m_cancel)
    {
        if (!ZelkAgentClientTask::ReceiveFile(this, &tasks[i]))
        {
            complete = false;
            break;
        }
        if (sinceSave >= kSummarySaveInterval - 1)
        {
            SaveSummary();
            sinceSave = 0;
        }
        else
        {
            ++sinceSave;
        }
        if (!ZelkAgentClientTask::WriteFileEnd(&tasks[(i + 1) % kTaskCount]) ||
            !ZelkAgentClientTask::WriteFileBegin(&tasks[(i + 2) % kTaskCount]))
        {
            complete = false;
            break;
        }
        i = (i + 1) % kTaskCount;
        if (!m_connection->IsConnected())
            complete = false;
    }
    // Every segment received is still written, oldest first, so that the order of arrival holds to
    // the end. A write that fails now fails the run as well: the count of records received would
    // otherwise call a run complete that left a segment unwritten.
    for (size_t turn = 1; turn <= kTaskCount; ++turn)
    {
        if (!ZelkAgentClientTask::WriteFileEnd(&tasks[(i + turn) % kTaskCount]))
            complete = false;
    }
    SaveSummary();
    return complete && !m_cancel;
}

ZELKRESULT RepairClient::PlanFromWeb()
{
    m_received = 0;
    m_total = 0;
    m_web = std::make_unique<HttpRepairSource>(m_repairAddress, *m_rootDirectory, m_summary, m_manifest, m_digests,
                                               m_cancel);
    if (const ZELKRESULT result = m_web->Plan())
        return result;
    m_total = static_cast<uint32_t>(m_web->GetPlannedCount());
    return ZELKRESULT_OK;
}

ZELKRESULT RepairClient::DownloadFromWeb()
{
    uint32_t sinceSave = 0;
    RepairRefusal refusal = RepairRefusal::None;
    std::wstring subject;
    const ZELKRESULT result = m_web->Download(
        [&] {
            m_received.fetch_add(1);
            if (++sinceSave >= kSummarySaveInterval)
            {
                SaveSummary();
                sinceSave = 0;
            }
        },
        refusal, subject);
    // A run that found nothing to change leaves both files as the scan saved them: each save
    // waits for the disk.
    if (m_total > 0)
        SaveSummary();
    SaveDigests();
    if (result != ZELKRESULT_OK)
        Refuse(refusal, refusal == RepairRefusal::NoRanges ? NativeToPath(m_repairAddress) : subject);
    return result;
}

void RepairClient::LoadDigests()
{
    if (m_digestCachePath.empty())
        return;
    const std::wstring name = NameBelowRoot(m_digestCachePath);
    if (name.empty())
        m_digests.Load(m_digestCachePath);
    else
        m_digests.Load(*m_rootDirectory, name);
}

void RepairClient::SaveDigests()
{
    if (m_digestCachePath.empty())
        return;
    m_digests.KeepOnly(m_summary.GetEntries());
    if (!m_digests.IsChanged())
        return;
    const std::wstring name = NameBelowRoot(m_digestCachePath);
    const ZELKRESULT saved =
        name.empty() ? m_digests.Save(m_digestCachePath) : m_digests.Save(*m_rootDirectory, name);
    if (saved != ZELKRESULT_OK)
        ZelkSystemLog("RepairClient> digests not saved: error %d\n", static_cast<int>(saved));
}

void RepairClient::SaveSummary()
{
    const std::wstring summaryName = NameBelowRoot(m_summaryPath);
    const ZELKRESULT result = summaryName.empty() ? SaveSummaryFile(m_summary, m_summaryPath)
                                                  : SaveSummaryFile(m_summary, *m_rootDirectory, summaryName);
    if (result != ZELKRESULT_OK)
    {
        ZelkSystemLog("RepairClient> summary file not saved: error %d\n", static_cast<int>(result));
        return;
    }
    ZelkSystemLog("RepairClient> summary file saved with %u of %u segments received\n", m_received.load(),
                  m_total.load());
}
