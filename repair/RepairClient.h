// The repair client: scans the installation into the file tree summary, connects to the repair
// server, exchanges the summary for the segments that differ, and receives and writes them through
// a ring of four tasks, all on a worker thread of its own. Given a web address instead of a server,
// it repairs from the files a web server serves (HttpRepairSource) through the same stages. Given
// a manifest's address and a publisher key, it checks every record of the server against the
// signed manifest before it is written. Whoever drives it polls its stage, its counts and its
// progress; destroying it cancels a run that still goes on and waits for its end.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "kernel/ConfinedDirectory.h"
#include "kernel/OSThread.h"
#include "kernel/ZelkTypes.h"
#include "net/ZelkDataBufferTCP.h"
#include "patch/PublisherKey.h"
#include "repair/FileTreeSummary.h"
#include "repair/HttpRepairSource.h"
#include "repair/RepairManifest.h"
#include "repair/SegmentDigestCache.h"
#include "repair/ZelkAgentClientTask.h"

class RepairClient : public ZelkAgentClientTask::Owner
{
public:
    // The stages in the order a run passes them; a failed run stays at the stage that failed.
    enum Stage : int32_t
    {
        StageConfigured = 0,
        StageStarted = 1,
        StageScanning = 2,
        StageConnecting = 3,
        StagePreparing = 4,
        StageReceiving = 5,
        StageFinished = 6,
    };

    // The summary file is saved after every this many segments received, so that a run cut short
    // leaves a summary that the next run can trust for what was written.
    static constexpr uint32_t kSummarySaveInterval = 33;
    static constexpr size_t kTaskCount = 4;

    RepairClient();
    ~RepairClient() override;
    RepairClient(const RepairClient &) = delete;
    RepairClient &operator=(const RepairClient &) = delete;

    // Each setter refuses with ZELKRESULT_INVALID_STATE while the client runs.
    // The root must be longer than 4 characters, and neither its first nor its last character may
    // be a double quote or above code 127; otherwise ZELKRESULT_INVALID_ARGUMENT.
    ZELKRESULT SetRoot(const std::wstring &path);
    // The installation held open by whoever drives the client, which the run then reaches only
    // through it; its path is the root, under SetRoot's rules. A client given only a path opens
    // it when a run starts.
    ZELKRESULT SetRootDirectory(std::shared_ptr<const ConfinedDirectory> directory);
    ZELKRESULT SetSummaryPath(const std::wstring &path);
    ZELKRESULT SetServerAddress(const IPv4Endpoint &address);
    // Full paths of files the scan leaves out.
    ZELKRESULT SetExclusions(const std::set<std::wstring> &paths);
    // A web address ("http://" or "https://") of a repair manifest's directory to repair from
    // instead of the server address; empty for the server.
    ZELKRESULT SetRepairAddress(const std::string &base);
    // The web address of the manifest the server's records are checked against; empty for none.
    ZELKRESULT SetManifestAddress(const std::string &base);
    // With a key, a manifest counts only with its signature and a serial not older than the newest
    // this machine accepted.
    ZELKRESULT SetPublisherKey(const std::optional<PublisherKey> &key);
    // The file that keeps the installation's segment digests between runs; it is left out of the
    // scan like the summary.
    ZELKRESULT SetDigestCachePath(const std::wstring &path);

    // Starts the worker; does nothing while it runs.
    void Start();

    // Read from any thread while the worker runs.
    bool IsBusy() const { return m_busy.load(); }
    // Returns when the worker has ended or the time has passed, whichever comes first, so that a
    // driver polling once a second still sees the end at once.
    void WaitWhileBusy(unsigned milliseconds);
    int32_t GetStage() const { return m_stage.load(); }
    ZELKRESULT GetError() const { return m_error.load(); }
    uint32_t GetReceived() const { return m_received.load(); }
    uint32_t GetTotal() const { return m_total.load(); }
    bool Succeeded() const;
    // Once the run has ended: why it was refused (RepairRefusal::None when it was not), and what
    // about: an address, or a file's path in the installation.
    RepairRefusal GetRefusal() const;
    std::wstring GetRefusalSubject() const;
    // 0 up to the summary exchange, then the share of the announced segments received; 1 at the end.
    float GetProgress() const;

    // ZelkAgentClientTask::Owner.
    const std::wstring &GetRoot() const override { return m_root; }
    const ConfinedDirectory &GetRootDirectory() override { return *m_rootDirectory; }
    FileTreeSummary &GetSummary() override { return m_summary; }
    ZelkDataBuffer &GetConnection() override { return *m_connection; }
    void CountReceived() override { m_received.fetch_add(1); }
    const RepairManifest *GetManifest() const override { return m_checkRecords ? &m_manifest : nullptr; }
    void RecordRefused(const std::wstring &path, RepairRefusal refusal) override;

private:
    static uint32_t WorkerEntry(void *client);
    // The stages; the run's error.
    ZELKRESULT Work();
    ZELKRESULT Scan();
    ZELKRESULT FetchManifest();
    ZELKRESULT Connect();
    ZELKRESULT ExchangeSummary();
    // False when a record could not be received, expanded or written.
    bool Download();
    ZELKRESULT PlanFromWeb();
    ZELKRESULT DownloadFromWeb();
    void Refuse(RepairRefusal refusal, const std::wstring &subject);
    void SaveSummary();
    // The segment digests and kept manifest of a web repair, beside the summary.
    void LoadDigests();
    void SaveDigests();
    ZELKRESULT Configure();
    // The name below the root of a file at path (the summary, the digests), or empty when it lies
    // elsewhere.
    std::wstring NameBelowRoot(const std::wstring &path) const;

    std::atomic<int32_t> m_stage{StageConfigured};
    std::unique_ptr<OS::Thread> m_thread;
    std::atomic<bool> m_busy{false};
    // Signalled when the worker clears busy.
    std::mutex m_endLock;
    std::condition_variable m_ended;
    std::atomic<bool> m_success{false};
    std::atomic<ZELKRESULT> m_error{ZELKRESULT_OK};
    std::atomic<bool> m_cancel{false};
    std::wstring m_root;
    // The root as SetRootDirectory gave it.
    std::shared_ptr<const ConfinedDirectory> m_givenRootDirectory;
    // The root, held for the whole run (the given one, or else opened when the run starts):
    // everything the run reads or writes in the installation is resolved beneath it.
    std::shared_ptr<const ConfinedDirectory> m_rootDirectory;
    std::wstring m_summaryPath;
    IPv4Endpoint m_serverAddress;
    std::set<std::wstring> m_exclusions;
    std::string m_repairAddress;
    std::string m_manifestAddress;
    std::optional<PublisherKey> m_publisherKey;
    std::wstring m_digestCachePath;
    FileTreeSummary m_summary;
    SegmentDigestCache m_digests;
    RepairManifest m_manifest;
    // Set once the manifest the server's records are checked against is there.
    bool m_checkRecords = false;
    std::unique_ptr<HttpRepairSource> m_web;
    // Written by the worker and the writer threads, read once the run has ended.
    mutable std::mutex m_refusalLock;
    RepairRefusal m_refusal = RepairRefusal::None;
    std::wstring m_refusalSubject;
    // Replaced for every run, under the lock, so that the destructor's hard close always reaches
    // the connection the worker uses.
    std::mutex m_connectionLock;
    std::unique_ptr<ZelkDataBufferTCP> m_connection;
    std::atomic<uint32_t> m_total{0};
    std::atomic<uint32_t> m_received{0};
};
