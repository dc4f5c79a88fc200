// Segment records as a repair server sends them, taken by the agent client task into an
// installation of its own: whatever the bytes, every record is received, expanded and written or
// refused without a crash; a segment written holds the record's bytes at its place in the file,
// and nothing appears outside the installation.
#include <fstream>
#include <vector>

#include "FuzzSupport.h"
#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "net/ZelkDataBuffer.h"
#include "net/ZelkUtil.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairProtocol.h"
#include "repair/ZelkAgentClientTask.h"

namespace
{
// More records add nothing the first few do not already reach.
constexpr int kMostRecords = 8;

class FuzzOwner : public ZelkAgentClientTask::Owner
{
public:
    FuzzOwner(const std::wstring &root, const uint8_t *data, size_t size)
        : m_root(root), m_connection(data, static_cast<uint32_t>(size))
    {
    }
    const std::wstring &GetRoot() const override { return m_root; }
    FileTreeSummary &GetSummary() override { return m_summary; }
    ZelkDataBuffer &GetConnection() override { return m_connection; }
    void CountReceived() override {}

private:
    std::wstring m_root;
    FileTreeSummary m_summary;
    ZelkDataBufferMemoryStatic m_connection;
};

// The record that the task took from data at offset, read again on its own: its header and the
// bytes its segment must hold.
bool ReadTakenRecord(const uint8_t *data, size_t size, uint64_t offset, RepairRecordHeader &header, std::string &segment)
{
    ZelkDataBufferMemoryStatic source(data + offset, static_cast<uint32_t>(size - offset));
    RepairRecordFault fault = RepairRecordFault::None;
    fuzz::Check(ReadRepairRecordHeader(source, header, fault) == ZELKRESULT_OK, "a taken record reads otherwise");
    const uint64_t at = offset + source.GetPosition();
    fuzz::Check(at + header.payloadLength <= size, "a taken record's payload lies beyond the input");
    if (!header.compressed)
    {
        segment.assign(reinterpret_cast<const char *>(data + at), header.payloadLength);
        return true;
    }
    ZelkDataBufferMemoryStatic block(data + at, header.payloadLength);
    ZelkDataBufferMemoryDynamic expanded;
    if (ZelkUtil::DecompressData(expanded, block) != ZELKRESULT_OK)
        return false;
    segment.assign(reinterpret_cast<const char *>(expanded.GetData()), expanded.GetSize());
    return true;
}

void CheckWritten(const fuzz::fs::path &install, const RepairRecordHeader &header, const std::string &segment)
{
    std::wstring relative = SegmentKeyPath(header.name);
    NormalizeSeparators(relative);
    const std::string file = install.string() + "/" + PathToNative(relative);
    const uint64_t start = static_cast<uint64_t>(SegmentKeyIndex(header.name)) * kSegmentSize;
    std::error_code error;
    const uint64_t size = fuzz::fs::file_size(file, error);
    if (header.checksum == 0)
    {
        fuzz::Check(error || size <= start, "a segment to be removed is still there", file);
        return;
    }
    fuzz::Check(!error, "a segment written has no file", file);
    // A short segment is the file's last.
    fuzz::Check(segment.size() == kSegmentSize ? size >= start + segment.size() : size == start + segment.size(),
                "a segment written leaves the file at another size", file);
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start));
    std::string bytes(segment.size(), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    fuzz::Check(in && bytes == segment, "a segment written holds other bytes", file);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzz::Workspace workspace("agent-client-task");
    const fuzz::fs::path run = workspace.Fresh();
    const fuzz::fs::path install = run / "install";
    fuzz::fs::create_directories(install);
    FuzzOwner owner(NativeToPath(install.string()), data, size);
    ZelkAgentClientTask task;
    for (int i = 0; i < kMostRecords; ++i)
    {
        const uint64_t offset = owner.GetConnection().GetPosition();
        if (!ZelkAgentClientTask::ReceiveFile(&owner, &task))
        {
            fuzz::Check(task.IsFree(), "a refused record left its task busy");
            break;
        }
        RepairRecordHeader header;
        std::string segment;
        const bool expands = ReadTakenRecord(data, size, offset, header, segment);
        const bool written = ZelkAgentClientTask::WriteFileEnd(&task);
        fuzz::Check(task.IsFree(), "a task stayed busy after its write ended");
        fuzz::Check(expands || !written, "a block that does not expand was written");
        if (written)
            CheckWritten(install, header, segment);
    }
    for (const auto &entry : fuzz::fs::directory_iterator(run))
        fuzz::Check(entry.path() == install, "a record wrote outside the installation", entry.path().string());
    return 0;
}
