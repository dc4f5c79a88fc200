#include "repair/ZelkAgentClientTask.h"

#include "kernel/ConfinedDirectory.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/WorkerThreads.h"
#include "kernel/ZelkSystemLog.h"
#include "net/ZelkUtil.h"
#include "repair/RepairProtocol.h"
#include "repair/SegmentChecksum.h"

namespace
{
// Starts body on a thread of its own that stores its outcome and then clears busy as its last
// act. When no thread can be made the outcome is a failure, as if the body had failed.
void StartTaskThread(std::thread &thread, std::atomic<bool> &busy, std::atomic<bool> &result,
                     bool (*body)(ZelkAgentClientTask *), ZelkAgentClientTask *task)
{
    busy = true;
    const auto run = [&busy, &result, body, task] {
        result = body(task);
        busy = false;
    };
    if (!StartThread(thread, run))
    {
        result = false;
        busy = false;
    }
}

void Join(std::thread &thread)
{
    if (thread.joinable())
        thread.join();
}

std::wstring ParentDirectory(const std::wstring &path)
{
    const size_t slash = path.rfind(kPathSeparator);
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}
} // namespace

ZelkAgentClientTask::Owner::~Owner() = default;

const ConfinedDirectory &ZelkAgentClientTask::Owner::GetRootDirectory()
{
    std::call_once(m_rootOpened, [this] { m_rootDirectory = std::make_unique<ConfinedDirectory>(GetRoot()); });
    return *m_rootDirectory;
}


ZelkAgentClientTask::ZelkAgentClientTask() = default;

ZelkAgentClientTask::~ZelkAgentClientTask()
{
    Join(m_expander);
    Join(m_writer);
}

void ZelkAgentClientTask::Free()
{
    m_owner = nullptr;
    m_writeStarted = false;
    m_data.SetSize(0);
    m_compressedData.SetSize(0);
}

void ZelkAgentClientTask::WaitForExpansion()
{
    Join(m_expander);
}

void ZelkAgentClientTask::WaitForWriter()
{
    Join(m_writer);
}

bool ZelkAgentClientTask::ReceiveFile(Owner *owner, ZelkAgentClientTask *task)
{
    if (!task->IsFree())
    {
        ZelkSystemLog("ZelkAgentClientTask::ReceiveFile> called while already busy\n");
        return false;
    }
    task->m_owner = owner;
    task->m_compressed = false;
    task->m_name.clear();
    task->m_checksum = 0;
    // The outcome of an earlier segment must not decide this one.
    task->m_result = true;

    ZelkDataBuffer &connection = owner->GetConnection();
    RepairRecordHeader header;
    RepairRecordFault fault = RepairRecordFault::None;
    const ZELKRESULT result = ReadRepairRecordHeader(connection, header, fault);
    if (fault == RepairRecordFault::MismatchedFlags)
    {
        ZelkSystemLog("ZelkAgentClientTask::ReceiveFile> mismatched flags from server\n");
        task->Free();
        return false;
    }
    if (fault != RepairRecordFault::None)
    {
        ZelkSystemLog("ZelkAgentClientTask::ReceiveFile> record refused: %s\n", DescribeRepairRecordFault(fault));
        task->Free();
        return false;
    }
    if (result != ZELKRESULT_OK)
    {
        ZelkSystemLog("ZelkAgentClientTask::ReceiveFile> error %d\n", static_cast<int>(result));
        task->Free();
        return false;
    }
    task->m_compressed = header.compressed;
    task->m_name = std::move(header.name);
    task->m_checksum = header.checksum;

    // The payload is taken as it arrives, so memory follows the bytes received, never the claim.
    ZelkDataBufferMemoryDynamic &payload = task->m_compressed ? task->m_compressedData : task->m_data;
    if (const ZELKRESULT copied = CopyData(payload, connection, header.payloadLength))
    {
        ZelkSystemLog("ZelkAgentClientTask::ReceiveFile> error %d\n", static_cast<int>(copied));
        task->Free();
        return false;
    }
    // Expanding a block may allocate what its frame promises: more than one segment is refused.
    if (task->m_compressed &&
        !IsSegmentSizedBlock(task->m_compressedData.GetData(), static_cast<uint32_t>(task->m_compressedData.GetSize())))
    {
        ZelkSystemLog("ZelkAgentClientTask::ReceiveFile> record refused: %s\n",
                      "compressed block is not one segment");
        task->Free();
        return false;
    }
    task->m_data.Seek(0);
    task->m_compressedData.Seek(0);
    if (task->m_compressed)
    {
        Join(task->m_expander);
        StartTaskThread(task->m_expander, task->m_decompressing, task->m_result, ThreadedDecompress, task);
    }
    owner->CountReceived();
    return true;
}

bool ZelkAgentClientTask::ThreadedDecompress(ZelkAgentClientTask *task)
{
    task->m_data.SetSize(0);
    const ZELKRESULT result = ZelkUtil::DecompressData(task->m_data, task->m_compressedData);
    task->m_compressedData.SetSize(0);
    // The writer copies from the position to the end: all of the expanded bytes.
    task->m_data.Seek(0);
    if (result != ZELKRESULT_OK)
    {
        ZelkSystemLog("ZelkAgentClientTask::ThreadedDecompress> error %d\n", static_cast<int>(result));
        return false;
    }
    return true;
}

bool ZelkAgentClientTask::WriteFileBegin(ZelkAgentClientTask *task)
{
    if (task->IsFree() || task->m_writeStarted)
        return true;
    if (task->m_writing)
    {
        ZelkSystemLog("ZelkAgentClientTask::WriteFileBegin> called while already busy\n");
        return false;
    }
    task->WaitForExpansion();
    if (!task->m_result)
    {
        task->Free();
        return false;
    }
    task->m_writeStarted = true;
    Join(task->m_writer);
    StartTaskThread(task->m_writer, task->m_writing, task->m_result, ApplySegment, task);
    return true;
}

bool ZelkAgentClientTask::WriteFileEnd(ZelkAgentClientTask *task)
{
    if (task->IsFree())
        return true;
    if (!task->m_writeStarted && !WriteFileBegin(task))
        return false;
    task->WaitForWriter();
    const bool result = task->m_result;
    task->Free();
    return result;
}

void ZelkAgentClientTask::Owner::RecordRefused(const std::wstring &, RepairRefusal) {}

bool ZelkAgentClientTask::ApplySegment(ZelkAgentClientTask *task)
{
    Owner &owner = *task->m_owner;
    RepairRefusal refusal = RepairRefusal::None;
    const bool written = WriteSegment(owner.GetRootDirectory(), owner.GetSummary(), task->m_name, task->m_checksum,
                                      task->m_data, owner.GetManifest(), refusal);
    if (refusal != RepairRefusal::None)
    {
        std::wstring relative = SegmentKeyPath(task->m_name);
        NormalizeSeparators(relative);
        owner.RecordRefused(relative, refusal);
    }
    return written;
}

bool ZelkAgentClientTask::WriteSegment(const ConfinedDirectory &root, FileTreeSummary &summary,
                                       const std::wstring &name, uint32_t checksum, ZelkDataBufferMemoryDynamic &data,
                                       const RepairManifest *manifest, RepairRefusal &refusal)
{
    std::wstring relative = SegmentKeyPath(name);
    NormalizeSeparators(relative);
    const std::wstring path = root.PathOf(relative);
    const int64_t index = SegmentKeyIndex(name);
    const uint64_t start = static_cast<uint64_t>(index) * kSegmentSize;
    const std::string shown = WideToNarrow(path);
    refusal = RepairRefusal::None;
    // Whatever the server sends, nothing is written through a link that leads out of the
    // installation: the record fails, by name.
    const auto ledOutside = [&] {
        if (errno != kNameLeadsOutside)
            return false;
        ZelkSystemLog("   error: %s leads outside the installation\n", shown.c_str());
        refusal = RepairRefusal::LeadsOutside;
        return true;
    };

    if (manifest != nullptr)
    {
        uint64_t localSize = 0;
        if (root.GetFileSize(relative, localSize) != ZELKRESULT_OK)
            localSize = 0;
        const RecordVouch vouch =
            manifest->Vouch(name, checksum, data.GetData(), static_cast<size_t>(data.GetSize()), localSize);
        if (vouch != RecordVouch::Vouched)
        {
            ZelkSystemLog("   error: refused %s: %s\n", WideToNarrow(name).c_str(), DescribeRecordVouch(vouch));
            refusal = RepairRefusal::RecordNotVouched;
            return false;
        }
        // The summary holds what is on the disk, whatever the record claimed.
        if (checksum != 0)
            checksum = SegmentChecksum(data.GetData(), static_cast<size_t>(data.GetSize()));
    }

    if (!root.MakeDirectory(ParentDirectory(relative)) && ledOutside())
        return false;
    if (root.Exists(relative) && root.IsReadOnly(relative))
        root.ClearReadOnly(relative);

    if (checksum == 0)
    {
        // The segment must not exist: the file ends before it, or there is no file at all.
        if (index == 0)
        {
            // A link in the file's place goes itself.
            if (!root.DeleteFile(relative) && ledOutside())
                return false;
        }
        else if (root.Exists(relative))
        {
            ZelkDataBufferFile file(root, relative, ZelkDataBufferFile::AccessModify);
            if (file.IsOpen())
            {
                if (file.GetSize() > start && file.SetSize(start) != ZELKRESULT_OK)
                {
                    ZelkSystemLog("   error: failed to truncate file %s\n", shown.c_str());
                    return false;
                }
                summary.RemoveSegmentsAfter(name);
                file.Close();
            }
        }
        else if (ledOutside())
        {
            return false;
        }
        summary.RemoveSegment(name);
        return true;
    }

    ZelkDataBufferFile file(root, relative, ZelkDataBufferFile::AccessModify);
    if (!file.IsOpen())
    {
        if (!ledOutside())
            ZelkSystemLog("   warning: failed to open path %s\n", shown.c_str());
        return false;
    }
    if (file.GetSize() < start)
        file.SetSize(start);
    if (file.Seek(start) != ZELKRESULT_OK)
    {
        ZelkSystemLog("   error: failed to set file position for %s\n", shown.c_str());
        return false;
    }
    if (const ZELKRESULT result = CopyRemaining(file, data))
    {
        ZelkSystemLog("  error %d while downloading file %s\n", static_cast<int>(result), shown.c_str());
        return false;
    }
    // A short segment is the file's last: whatever lies beyond it goes.
    const uint64_t end = file.GetPosition();
    if (end < start + kSegmentSize && file.GetSize() > end)
    {
        if (file.SetSize(end) != ZELKRESULT_OK)
        {
            ZelkSystemLog("   error: failed to truncate file %s\n", shown.c_str());
            return false;
        }
        summary.RemoveSegmentsAfter(name);
    }
    // Buffered bytes reach the file only here; a full disk shows now or never.
    if (const ZELKRESULT result = file.Close())
    {
        ZelkSystemLog("  error %d while downloading file %s\n", static_cast<int>(result), shown.c_str());
        return false;
    }
    if (!summary.RegisterSegment(root, name, checksum))
    {
        ZelkSystemLog("   error: failed to register file %s\n", shown.c_str());
        return false;
    }
    return true;
}
