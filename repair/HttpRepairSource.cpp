#include "repair/HttpRepairSource.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "kernel/WorkerThreads.h"
#include "kernel/ZelkSystemLog.h"
#include "net/ZelkDataBuffer.h"
#include "patch/DetachedSignature.h"
#include "patch/HttpRangeSession.h"
#include "patch/PublisherTrust.h"
#include "patch/TransferAddress.h"
#include "repair/RepairProtocol.h"
#include "repair/SegmentChecksum.h"
#include "repair/ZelkAgentClientTask.h"

namespace
{
// Threads that take the digests of a first run's segments at most, and the segments that make one
// worth starting.
constexpr size_t kMaxHashThreads = 8;
constexpr size_t kSegmentsPerHashThread = 4;

std::string AsText(ZelkDataBufferMemoryDynamic &bytes)
{
    return std::string(reinterpret_cast<const char *>(bytes.GetData()), static_cast<size_t>(bytes.GetSize()));
}

// The digest of one segment of a file beneath root; false when it cannot be read whole.
bool HashLocalSegment(const ConfinedDirectory &root, const std::wstring &name, uint64_t index, Sha256Digest &digest)
{
    ZelkDataBufferFile file(root, name, ZelkDataBufferFile::AccessRead);
    if (!file.IsOpen())
        return false;
    const uint64_t start = index * kSegmentSize;
    const uint64_t size = file.GetSize();
    if (start >= size || file.Seek(start) != ZELKRESULT_OK)
        return false;
    return HashBufferSHA256(file, std::min<uint64_t>(kSegmentSize, size - start), digest) == ZELKRESULT_OK;
}

Sha256Digest DigestOf(const uint8_t *bytes, size_t size)
{
    SHA256 hash;
    hash.Update(bytes, size);
    return hash.Finish();
}

} // namespace

ZELKRESULT FetchRepairManifest(const std::string &base, const PublisherKey *key, ZelkTransferCallback *callback,
                               KeptRepairManifest *kept, RepairManifest &manifest, RepairRefusal &refusal)
{
    refusal = RepairRefusal::None;
    HttpRangeSession session(callback);
    const std::string address = JoinUrl(base, kRepairManifestFileName);
    const auto unavailable = [&refusal](ZELKRESULT result) {
        if (result != ZELKRESULT_ABORTED)
            refusal = RepairRefusal::ManifestUnavailable;
        return result;
    };
    // The kept manifest is asked for by its version first. The server's "not modified" only saves
    // the transfer: the kept bytes pass every check a fetched manifest passes, and when they fail
    // one (another key, a damaged copy), the manifest is fetched whole once more.
    const bool mayReuse = kept != nullptr && kept->version.IsKnown() && !kept->bytes.empty() &&
                          (key == nullptr || !kept->signature.empty());
    KeptRepairManifest fetched;
    for (int attempt = mayReuse ? 0 : 1; attempt < 2; ++attempt)
    {
        ZelkDataBufferMemoryDynamic bytes;
        bool unchanged = false;
        ZELKRESULT result = session.FetchWholeIfChanged(address, kMaxRepairManifestSize,
                                                        attempt == 0 ? kept->version : HttpVersion(), fetched.version,
                                                        unchanged, bytes);
        if (result != ZELKRESULT_OK)
            return unavailable(result);
        fetched.bytes = unchanged ? kept->bytes : AsText(bytes);
        fetched.signature.clear();
        if (key != nullptr)
        {
            SignatureVerdict verdict = SignatureVerdict::Missing;
            ZelkDataBufferMemoryDynamic signature;
            result = unchanged ? ZELKRESULT_OK
                               : session.FetchWhole(address + kSignatureSuffix, kMaxSignatureFileSize, true, signature);
            fetched.signature = unchanged ? kept->signature : AsText(signature);
            if (result == ZELKRESULT_OK)
                verdict = VerifyDetachedSignature(*key, fetched.bytes, fetched.signature);
            else if (result == ZELKRESULT_NO_MEMORY)
                verdict = SignatureVerdict::Malformed;
            else if (result != ZELKRESULT_LIST_FAILED)
                return unavailable(result);
            if (verdict != SignatureVerdict::Good && unchanged)
                continue;
            if (verdict != SignatureVerdict::Good)
            {
                ZelkSystemLog("FetchRepairManifest> %s refused: %s", address.c_str(),
                              DescribeSignatureVerdict(verdict));
                refusal = verdict == SignatureVerdict::Missing ? RepairRefusal::ManifestUnsigned
                                                               : RepairRefusal::ManifestWrongSignature;
                return ZELKRESULT_ACCESS;
            }
        }
        std::string problem;
        if (manifest.Parse(fetched.bytes.data(), fetched.bytes.size(), problem) == ZELKRESULT_OK)
        {
            ZelkSystemLog("FetchRepairManifest> %s %s", address.c_str(), unchanged ? "not modified" : "fetched");
            break;
        }
        if (unchanged)
            continue;
        ZelkSystemLog("FetchRepairManifest> %s is damaged: %s", address.c_str(), problem.c_str());
        refusal = RepairRefusal::ManifestDamaged;
        return ZELKRESULT_BAD_FORMAT;
    }
    const auto keep = [&] {
        if (kept != nullptr)
            *kept = std::move(fetched);
        return ZELKRESULT_OK;
    };
    if (key == nullptr)
        return keep();
    uint64_t newest = 0;
    switch (CheckRepairManifestSerial(manifest.GetSerial(), newest))
    {
    case ListSerialVerdict::Accepted:
        break;
    case ListSerialVerdict::Replayed:
        ZelkSystemLog("FetchRepairManifest> %s has serial %llu, the newest accepted is %llu", address.c_str(),
                      static_cast<unsigned long long>(manifest.GetSerial()), static_cast<unsigned long long>(newest));
        refusal = RepairRefusal::ManifestReplayed;
        return ZELKRESULT_ACCESS;
    case ListSerialVerdict::Unreadable:
        refusal = RepairRefusal::SerialUnreadable;
        return ZELKRESULT_ACCESS;
    }
    // Once a signed manifest is taken, no older one is taken on this machine again.
    if (!RememberRepairManifestSerial(manifest.GetSerial()))
        ZelkSystemLog("FetchRepairManifest> the serial %llu cannot be kept in the registry",
                      static_cast<unsigned long long>(manifest.GetSerial()));
    return keep();
}

// A segment on its way from the workers to the writer.
struct HttpRepairSource::Fetched
{
    enum class State
    {
        Waiting,
        Ready,
        Failed,
    };
    State state = State::Waiting;
    // Taken from the buffers of segments already written when one is free: a repair holds only the
    // segments on their way, and their memory is not handed back and faulted in again each time.
    std::unique_ptr<ZelkDataBufferMemoryDynamic> data;
    ZELKRESULT result = ZELKRESULT_OK;
    RepairRefusal refusal = RepairRefusal::None;
};

HttpRepairSource::HttpRepairSource(const std::string &base, const ConfinedDirectory &root, FileTreeSummary &summary,
                                   const RepairManifest &manifest, SegmentDigestCache &digests,
                                   const std::atomic<bool> &cancel)
    : m_base(base), m_root(root), m_summary(summary), m_manifest(manifest), m_digests(digests), m_cancel(cancel)
{
}

HttpRepairSource::~HttpRepairSource() = default;

std::wstring HttpRepairSource::NameOf(const std::wstring &keyPath)
{
    std::wstring name = keyPath;
    NormalizeSeparators(name);
    return name;
}

ZELKRESULT HttpRepairSource::Plan()
{
    m_changes.clear();
    // The installation's segments by file: the checksum of each index the summary holds.
    std::map<std::wstring, std::map<uint64_t, uint32_t>, FileTreeSummary::KeyOrder> local;
    for (const FileTreeSummary::Entry &entry : m_summary.GetEntries())
    {
        const int64_t index = SegmentKeyIndex(entry.name);
        if (index >= 0)
            local[SegmentKeyPath(entry.name)][static_cast<uint64_t>(index)] = entry.checksum;
    }

    // Segments whose digest must be taken from the disk, with the one it is compared with.
    struct Unknown
    {
        std::wstring key;
        std::wstring name; // of the file, beneath the root
        uint64_t index = 0;
        uint32_t checksum = 0;
        const RepairManifest::File *file = nullptr;
        Sha256Digest digest{};
        bool read = false;
    };
    std::vector<Unknown> unknown;
    for (const RepairManifest::File &file : m_manifest.GetFiles())
    {
        const std::wstring keyPath = KeyPathOfManifestName(file.name);
        const auto found = local.find(keyPath);
        const std::map<uint64_t, uint32_t> none;
        const std::map<uint64_t, uint32_t> &segments = found == local.end() ? none : found->second;
        const uint64_t count = SegmentCount(file.size);
        if (count == 0)
        {
            // Empty files have no segments: only the disk tells whether one is there and empty.
            uint64_t size = 0;
            if (m_root.GetFileSize(NameOf(keyPath), size) != ZELKRESULT_OK || size != 0)
                m_changes.push_back({ChangeKind::Empty, MakeSegmentKey(keyPath, 0), &file, 0, false});
        }
        for (uint64_t index = 0; index < count; ++index)
        {
            const std::wstring key = MakeSegmentKey(keyPath, static_cast<int64_t>(index));
            const auto have = segments.find(index);
            if (have == segments.end())
            {
                m_changes.push_back({ChangeKind::Segment, key, &file, index, false});
                continue;
            }
            // A checksum of 0 stands for a segment that could not be read: it is fetched whole.
            Sha256Digest digest{};
            if (have->second != 0 && !m_digests.Find(key, have->second, digest))
                unknown.push_back({key, NameOf(keyPath), index, have->second, &file, {}, false});
            else if (have->second == 0 || digest != m_manifest.GetSegment(file, index).digest)
                m_changes.push_back({ChangeKind::Segment, key, &file, index, true});
        }
        // A file that ends inside a segment is cut by that segment's write; one that ends at a
        // segment's end, by a cut.
        if (count > 0 && file.size % kSegmentSize == 0 && !segments.empty() && segments.rbegin()->first >= count)
            m_changes.push_back(
                {ChangeKind::Cut, MakeSegmentKey(keyPath, static_cast<int64_t>(count)), &file, count, false});
        if (found != local.end())
            local.erase(found);
    }
    // Files the reference lacks go, except those that are the installation's own.
    for (const auto &[path, segments] : local)
    {
        if (!IsInstallationOwn(path))
            m_changes.push_back({ChangeKind::Delete, MakeSegmentKey(path, 0), nullptr, 0, false});
    }

    ForEachOnThreads(unknown.size(), kMaxHashThreads, kSegmentsPerHashThread, [&](size_t i) {
        if (!m_cancel)
            unknown[i].read = HashLocalSegment(m_root, unknown[i].name, unknown[i].index, unknown[i].digest);
    });
    if (m_cancel)
        return ZELKRESULT_ABORTED;
    for (const Unknown &segment : unknown)
    {
        if (segment.read)
            m_digests.Store(segment.key, segment.checksum, segment.digest);
        if (!segment.read || segment.digest != m_manifest.GetSegment(*segment.file, segment.index).digest)
            m_changes.push_back({ChangeKind::Segment, segment.key, segment.file, segment.index, true});
    }
    // The order a repair server sends its records in: a file the reference lacks goes before the
    // reference's file below a directory of the same name is made.
    std::sort(m_changes.begin(), m_changes.end(), [](const Change &left, const Change &right) {
        return FileTreeSummary::KeyOrder()(left.key, right.key);
    });
    ZelkSystemLog("HttpRepairSource> %zu changes planned, %zu segments read for their digests", m_changes.size(),
                  unknown.size());
    return ZELKRESULT_OK;
}

ZELKRESULT HttpRepairSource::FetchSegment(HttpRangeSession &session, const Change &change, Fetched &fetched)
{
    const RepairManifest::File &file = *change.file;
    const RepairManifest::Segment &segment = m_manifest.GetSegment(file, change.index);
    const uint64_t length = RepairManifest::SegmentLength(file, change.index);
    const std::string fileUrl = JoinUrl(m_base, kRepairFilesDirectory + EncodeUrlPath(file.name));
    const auto transferFailed = [&fetched](ZELKRESULT result, bool ofBlocks) {
        if (result == ZELKRESULT_UNSUPPORTED)
            fetched.refusal = RepairRefusal::NoRanges;
        else if (result == ZELKRESULT_BAD_FORMAT || (ofBlocks && result == ZELKRESULT_LIST_FAILED))
            fetched.refusal = RepairRefusal::DataMismatch;
        return result;
    };

    // The digests of the segment's blocks, which the manifest vouches for as a whole.
    ZelkDataBufferMemoryDynamic blockDigests;
    const uint64_t blocksLength = RepairManifest::BlocksLength(file, change.index);
    if (const ZELKRESULT result = session.FetchRange(JoinUrl(m_base, kRepairBlocksFileName),
                                                     RepairManifest::BlocksOffset(file, change.index), blocksLength,
                                                     blockDigests))
        return transferFailed(result, true);
    const size_t blocks = static_cast<size_t>(blocksLength / kRepairDigestSize);
    if (DigestOfBlockDigests(blockDigests.GetData(), blocks) != segment.blocksDigest)
    {
        fetched.refusal = RepairRefusal::DataMismatch;
        return ZELKRESULT_BAD_FORMAT;
    }
    const auto blockDigest = [&](size_t block) {
        Sha256Digest digest;
        std::memcpy(digest.data(), blockDigests.GetData() + block * kRepairDigestSize, digest.size());
        return digest;
    };
    const auto blockLength = [&](size_t block) {
        return static_cast<uint32_t>(std::min<uint64_t>(kRepairBlockSize, length - uint64_t(block) * kRepairBlockSize));
    };

    // The installation's blocks that are right stay where they were read; the others are fetched
    // over them, neighbours together.
    ZelkDataBufferMemoryDynamic &data = *fetched.data;
    if (const ZELKRESULT result = data.SetSize(length))
        return result;
    uint32_t held = 0;
    if (change.held &&
        !ReadFileSegment(m_root, MakeSegmentKey(NameOf(KeyPathOfManifestName(file.name)), int64_t(change.index)),
                         data.GetData(), static_cast<uint32_t>(length), held))
        held = 0;
    std::vector<bool> needed(blocks, true);
    for (size_t block = 0; block < blocks; ++block)
    {
        const uint64_t offset = uint64_t(block) * kRepairBlockSize;
        needed[block] = offset + blockLength(block) > held ||
                        DigestOf(data.GetData() + offset, blockLength(block)) != blockDigest(block);
    }
    for (size_t first = 0; first < blocks;)
    {
        if (!needed[first])
        {
            ++first;
            continue;
        }
        size_t end = first;
        uint64_t runLength = 0;
        while (end < blocks && needed[end])
            runLength += blockLength(end++);
        const uint64_t offset = uint64_t(first) * kRepairBlockSize;
        data.Seek(offset);
        const uint64_t at = change.index * kSegmentSize + offset;
        if (const ZELKRESULT result = session.FetchRange(fileUrl, at, runLength, data))
            return transferFailed(result, false);
        for (size_t block = first; block < end; ++block)
        {
            const uint64_t at = uint64_t(block) * kRepairBlockSize;
            if (DigestOf(data.GetData() + at, blockLength(block)) != blockDigest(block))
            {
                fetched.refusal = RepairRefusal::DataMismatch;
                return ZELKRESULT_BAD_FORMAT;
            }
        }
        first = end;
    }
    if (DigestOf(data.GetData(), static_cast<size_t>(length)) != segment.digest)
    {
        fetched.refusal = RepairRefusal::DataMismatch;
        return ZELKRESULT_BAD_FORMAT;
    }
    data.Seek(0);
    return ZELKRESULT_OK;
}

bool HttpRepairSource::WriteChange(const Change &change, Fetched &fetched, RepairRefusal &refusal)
{
    uint32_t checksum = 0;
    if (change.kind == ChangeKind::Segment || change.kind == ChangeKind::Empty)
        checksum = SegmentChecksum(fetched.data->GetData(), static_cast<size_t>(fetched.data->GetSize()));
    if (!ZelkAgentClientTask::WriteSegment(m_root, m_summary, change.key, checksum, *fetched.data, &m_manifest,
                                           refusal))
    {
        // The change was planned from the manifest: bytes it does not vouch for are not the ones
        // it names.
        if (refusal == RepairRefusal::RecordNotVouched)
            refusal = RepairRefusal::DataMismatch;
        return false;
    }
    if (change.kind == ChangeKind::Segment)
        m_digests.Store(change.key, checksum, m_manifest.GetSegment(*change.file, change.index).digest);
    return true;
}

ZELKRESULT HttpRepairSource::Download(const std::function<void()> &written, RepairRefusal &refusal,
                                      std::wstring &subject)
{
    refusal = RepairRefusal::None;
    subject.clear();
    std::vector<Fetched> fetched(m_changes.size());
    std::mutex lock;
    std::condition_variable changed;
    size_t next = 0;     // the next change a worker takes
    size_t finished = 0; // the changes written
    bool stop = false;
    std::vector<std::unique_ptr<ZelkDataBufferMemoryDynamic>> spare;
    CancelFlagCallback cancel(m_cancel);

    const auto work = [&] {
        HttpRangeSession session(&cancel);
        for (;;)
        {
            size_t i = 0;
            {
                std::unique_lock<std::mutex> guard(lock);
                changed.wait(guard, [&] { return stop || next >= fetched.size() || next < finished + kSegmentsAhead; });
                if (stop || next >= fetched.size())
                    break;
                i = next++;
                if (!spare.empty())
                {
                    fetched[i].data = std::move(spare.back());
                    spare.pop_back();
                }
            }
            if (!fetched[i].data)
                fetched[i].data = std::make_unique<ZelkDataBufferMemoryDynamic>();
            ZELKRESULT result = ZELKRESULT_OK;
            if (m_changes[i].kind == ChangeKind::Segment)
                result = FetchSegment(session, m_changes[i], fetched[i]);
            std::lock_guard<std::mutex> guard(lock);
            fetched[i].result = result;
            fetched[i].state = result == ZELKRESULT_OK ? Fetched::State::Ready : Fetched::State::Failed;
            changed.notify_all();
        }
        m_bytesReceived += session.GetBytesReceived();
        m_requests += session.GetRequestCount();
    };
    WorkerThreads workers;
    const auto stopWorkers = [&] {
        {
            std::lock_guard<std::mutex> guard(lock);
            stop = true;
        }
        changed.notify_all();
        workers.Join();
    };
    if (workers.Start(std::min(kTransfers, m_changes.size()), work) == 0 && !m_changes.empty())
        return ZELKRESULT_NO_MEMORY;

    ZELKRESULT result = ZELKRESULT_OK;
    for (size_t i = 0; i < m_changes.size() && result == ZELKRESULT_OK; ++i)
    {
        {
            std::unique_lock<std::mutex> guard(lock);
            changed.wait(guard, [&] { return fetched[i].state != Fetched::State::Waiting; });
        }
        const Change &change = m_changes[i];
        if (fetched[i].state == Fetched::State::Failed)
        {
            result = fetched[i].result;
            refusal = fetched[i].refusal;
        }
        else if (m_cancel)
            result = ZELKRESULT_ABORTED;
        else if (!WriteChange(change, fetched[i], refusal))
            result = refusal == RepairRefusal::None ? ZELKRESULT_IO : ZELKRESULT_BAD_FORMAT;
        if (result != ZELKRESULT_OK)
        {
            subject = change.file != nullptr ? NativeToPath(change.file->name) : SegmentKeyPath(change.key);
            break;
        }
        fetched[i].data->SetSize(0);
        {
            std::lock_guard<std::mutex> guard(lock);
            spare.push_back(std::move(fetched[i].data));
            finished = i + 1;
        }
        changed.notify_all();
        written();
    }
    stopWorkers();
    ZelkSystemLog("HttpRepairSource> %llu requests, %llu bytes received",
                  static_cast<unsigned long long>(m_requests.load()),
                  static_cast<unsigned long long>(m_bytesReceived.load()));
    if (result != ZELKRESULT_OK && result != ZELKRESULT_ABORTED)
        ZelkSystemLog("HttpRepairSource> stopped at %s: result %d, %s", WideToNarrow(subject).c_str(),
                      static_cast<int>(result), DescribeRepairRefusal(refusal));
    return result;
}
