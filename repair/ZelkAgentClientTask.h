// One segment record on its way from the repair server into the installation: received on the
// repair client's worker thread, expanded on a thread of its own when it came compressed, and
// written on another thread of its own, which also brings the summary up to date. The repair
// client keeps four of them in a ring so that receiving, expanding and writing overlap.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "kernel/ConfinedDirectory.h"
#include "net/ZelkDataBuffer.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairManifest.h"
#include "repair/RepairRefusal.h"

class ZelkAgentClientTask
{
public:
    // What a task uses of the client it works for.
    class Owner
    {
    public:
        virtual ~Owner();
        // The installation directory; every record's name is joined below it.
        virtual const std::wstring &GetRoot() const = 0;
        // The installation directory held open, beneath which every record's file is written, so
        // that neither a link planted in it nor its path swapped for another leads a write
        // outside. By default GetRoot() is opened when the first record is written.
        virtual const ConfinedDirectory &GetRootDirectory();
        virtual FileTreeSummary &GetSummary() = 0;
        // The connection the records arrive on.
        virtual ZelkDataBuffer &GetConnection() = 0;
        // One more record was received whole.
        virtual void CountReceived() = 0;
        // The manifest every record is checked against before it changes anything; null for none.
        virtual const RepairManifest *GetManifest() const { return nullptr; }
        // A record was refused before it changed anything: the manifest does not vouch for it, or
        // its file, at path, leads outside the installation (on the writer's thread).
        virtual void RecordRefused(const std::wstring &path, RepairRefusal refusal);

    private:
        std::once_flag m_rootOpened;
        std::unique_ptr<ConfinedDirectory> m_rootDirectory;
    };

    ZelkAgentClientTask();
    // Waits for the task's threads, should any still run.
    ~ZelkAgentClientTask();
    ZelkAgentClientTask(const ZelkAgentClientTask &) = delete;
    ZelkAgentClientTask &operator=(const ZelkAgentClientTask &) = delete;

    // Reads one record into a free task and, for a compressed one, starts its expansion. A record
    // that breaks a rule of the format, or whose bytes do not all arrive, leaves the task free and
    // nothing of it is written.
    static bool ReceiveFile(Owner *owner, ZelkAgentClientTask *task);
    // Waits until the task's expansion has ended and starts its writer.
    static bool WriteFileBegin(ZelkAgentClientTask *task);
    // Waits until the task's writer has ended, frees the task and returns how the write went.
    static bool WriteFileEnd(ZelkAgentClientTask *task);
    // The bodies of the expansion and the writer threads.
    static bool ThreadedDecompress(ZelkAgentClientTask *task);
    static bool ApplySegment(ZelkAgentClientTask *task);

    // The writer of every repair, whatever brought the record: makes the change it names beneath
    // root and brings the summary up to date. A checksum other than 0 writes data as the segment the
    // key names (and cuts the file after a short, last segment); checksum 0 cuts the file at the
    // segment, or deletes it at index 0. A change is refused before anything is made when a
    // manifest does not vouch for it (RecordNotVouched; the summary's checksum is then computed from
    // the bytes instead of taken from the record) or when its file leads outside root
    // (LeadsOutside); refusal says which, and stays None for any other failure.
    static bool WriteSegment(const ConfinedDirectory &root, FileTreeSummary &summary, const std::wstring &name,
                             uint32_t checksum, ZelkDataBufferMemoryDynamic &data, const RepairManifest *manifest,
                             RepairRefusal &refusal);

    bool IsFree() const { return m_owner == nullptr; }

private:
    void Free();
    // The expansion thread has handed the task back (joined; there is no other wait to make).
    void WaitForExpansion();
    void WaitForWriter();

    Owner *m_owner = nullptr;
    std::wstring m_name;
    uint32_t m_checksum = 0;
    bool m_compressed = false;
    // Set while the expansion or the writer thread runs; the thread clears it as its last act.
    std::atomic<bool> m_decompressing{false};
    std::atomic<bool> m_writing{false};
    bool m_writeStarted = false;
    std::atomic<bool> m_result{true};
    ZelkDataBufferMemoryDynamic m_data;
    ZelkDataBufferMemoryDynamic m_compressedData;
    std::thread m_expander;
    std::thread m_writer;
};
