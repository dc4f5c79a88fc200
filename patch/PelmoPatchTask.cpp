// The transfers of a run: the size query, the download into the archive file, and the progress
// that the window reads while it runs.
#include "patch/PelmoPatchTask.h"

#include "kernel/TextConvert.h"
#include "kernel/UserText.h"
#include "kernel/UserTextIds.h"
#include "net/ZelkDataBuffer.h"
#include "patch/InternetTransfer.h"

namespace
{
// Passes everything to the file and publishes the position after each operation, so that the
// window's thread reads a counter rather than the file object the worker is writing.
class PublishingBuffer : public ZelkDataBuffer
{
public:
    PublishingBuffer(ZelkDataBuffer &target, std::atomic<uint64_t> &position) : m_target(target), m_position(position)
    {
        Publish();
    }

    uint64_t GetSize() override { return m_target.GetSize(); }
    ZELKRESULT SetSize(uint64_t size) override { return Publish(m_target.SetSize(size)); }
    uint64_t GetPosition() override { return m_target.GetPosition(); }
    ZELKRESULT Seek(uint64_t position) override { return Publish(m_target.Seek(position)); }
    ZELKRESULT Write(const void *source, uint32_t count) override { return Publish(m_target.Write(source, count)); }
    ZELKRESULT Read(void *destination, uint32_t count) override { return Publish(m_target.Read(destination, count)); }
    void Flush() override { m_target.Flush(); }

private:
    ZELKRESULT Publish(ZELKRESULT result = ZELKRESULT_OK)
    {
        m_position.store(m_target.GetPosition());
        return result;
    }

    ZelkDataBuffer &m_target;
    std::atomic<uint64_t> &m_position;
};
} // namespace

bool PelmoPatchTask::QueryFileSize(const std::wstring &address)
{
    m_bytesDone = 0;
    uint64_t size = 0;
    if (QueryAddressSize(WideToNarrow(address), size) != ZELKRESULT_OK)
    {
        m_expectedSize = 0;
        return false;
    }
    m_expectedSize = size;
    return true;
}

bool PelmoPatchTask::DownloadToFile(const std::wstring &address, const std::wstring &path,
                                    ZelkTransferCallback *callback)
{
    m_transferState = kTransferRunning;
    m_bytesDone = 0;
    ZelkDataBufferFile file(path, ZelkDataBufferFile::AccessModify);
    if (!file.IsOpen())
    {
        Report(MessageError, UserText(ZelkPatch::kIdCannotOpenPatchFile) + path);
        return false;
    }
    PublishingBuffer published(file, m_filePosition);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_currentFile = &published;
    }
    ZELKRESULT result = DownloadAddress(WideToNarrow(address), published, 0, callback);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_currentFile = nullptr;
    }
    // A file left from an earlier, longer attempt must not keep bytes beyond the download.
    if (result == ZELKRESULT_OK && file.GetSize() > file.GetPosition())
        result = file.SetSize(file.GetPosition());
    const ZELKRESULT closed = file.Close();
    if (result == ZELKRESULT_OK)
        result = closed;
    if (result != ZELKRESULT_OK)
    {
        Report(MessageError, UserText(ZelkPatch::kIdUnableToDownload) + address);
        return false;
    }
    return true;
}

TransferProgress PelmoPatchTask::GetTransferProgress()
{
    if (m_transferState == kTransferRunning)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_currentFile != nullptr)
            m_bytesDone = m_filePosition.load();
    }
    TransferProgress progress;
    progress.bytesDone = m_bytesDone;
    progress.expectedSize = m_expectedSize;
    progress.percent = progress.expectedSize == 0
                           ? 0
                           : static_cast<uint32_t>(static_cast<unsigned __int128>(progress.bytesDone) * 100 /
                                                   progress.expectedSize);
    m_percent = progress.percent;
    return progress;
}
