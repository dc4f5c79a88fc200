#include "publish/JojoDiff.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "kernel/ByteOrder.h"
#include "kernel/FileUtil.h"
#include "kernel/StdioFile.h"
#include "kernel/TextConvert.h"

using namespace JojoDiff;

namespace
{
// Large enough that stdio calls cost little per byte, small enough to stay out of the way.
constexpr size_t kStreamBufferSize = 64 * 1024;

bool IsOpcode(int byte)
{
    return byte >= kBacktrack && byte <= kModify;
}

// Sequential writer with its own buffer; remembers the first failure.
class OutputStream
{
public:
    explicit OutputStream(std::FILE *file) : m_file(file), m_buffer(kStreamBufferSize)
    {
    }

    void Put(uint8_t byte)
    {
        if (m_used == m_buffer.size())
            Drain();
        m_buffer[m_used++] = byte;
    }

    void Write(const uint8_t *data, size_t count)
    {
        while (count > 0)
        {
            if (m_used == m_buffer.size())
                Drain();
            size_t piece = std::min(count, m_buffer.size() - m_used);
            std::memcpy(m_buffer.data() + m_used, data, piece);
            m_used += piece;
            data += piece;
            count -= piece;
        }
    }

    // False when any write failed.
    bool Finish()
    {
        Drain();
        if (!m_failed && std::fflush(m_file) != 0)
            m_failed = true;
        return !m_failed;
    }

    bool Failed() const
    {
        return m_failed;
    }

    uint64_t Written() const
    {
        return m_flushed + m_used;
    }

private:
    void Drain()
    {
        if (m_used > 0 && !m_failed && std::fwrite(m_buffer.data(), 1, m_used, m_file) != m_used)
            m_failed = true;
        m_flushed += m_used;
        m_used = 0;
    }

    std::FILE *m_file;
    std::vector<uint8_t> m_buffer;
    size_t m_used = 0;
    uint64_t m_flushed = 0;
    bool m_failed = false;
};

// Sequential reader of the difference; Next returns -1 at the end (or on a read error, which
// Failed then tells apart).
class DiffStream
{
public:
    explicit DiffStream(std::FILE *file) : m_file(file), m_buffer(kStreamBufferSize)
    {
    }

    int Next()
    {
        if (m_next == m_length && !Refill())
            return -1;
        ++m_offset;
        return m_buffer[m_next++];
    }

    bool Failed() const
    {
        return m_failed;
    }

    // Offset in the difference of the next byte, for messages.
    uint64_t Offset() const
    {
        return m_offset;
    }

private:
    bool Refill()
    {
        m_length = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
        m_next = 0;
        if (m_length == 0 && std::ferror(m_file))
            m_failed = true;
        return m_length > 0;
    }

    std::FILE *m_file;
    std::vector<uint8_t> m_buffer;
    size_t m_next = 0;
    size_t m_length = 0;
    uint64_t m_offset = 0;
    bool m_failed = false;
};

// Random-access reader of the old file through one window, so that a back-track into data just
// copied needs no new read.
class OldStream
{
public:
    explicit OldStream(std::FILE *file) : m_file(file), m_buffer(kStreamBufferSize)
    {
    }

    // ZELKRESULT_END_OF_DATA when the old file ends before position + count.
    ZELKRESULT CopyTo(uint64_t position, uint64_t count, OutputStream &out)
    {
        while (count > 0)
        {
            if (position < m_start || position >= m_start + m_length)
            {
                ZELKRESULT result = Load(position);
                if (result != ZELKRESULT_OK)
                    return result;
            }
            size_t offset = static_cast<size_t>(position - m_start);
            size_t piece = static_cast<size_t>(std::min<uint64_t>(count, m_length - offset));
            out.Write(m_buffer.data() + offset, piece);
            if (out.Failed())
                return ZELKRESULT_IO;
            position += piece;
            count -= piece;
        }
        return ZELKRESULT_OK;
    }

private:
    ZELKRESULT Load(uint64_t position)
    {
        if (position != m_filePosition)
        {
            if (!SeekStdioFile(m_file, position))
                return ZELKRESULT_IO;
            m_filePosition = position;
        }
        m_start = position;
        m_length = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
        m_filePosition += m_length;
        if (m_length > 0)
            return ZELKRESULT_OK;
        return std::ferror(m_file) ? ZELKRESULT_IO : ZELKRESULT_END_OF_DATA;
    }

    std::FILE *m_file;
    std::vector<uint8_t> m_buffer;
    uint64_t m_start = 0;
    size_t m_length = 0;
    // Unknown at first: the caller may have read from the file.
    uint64_t m_filePosition = UINT64_MAX;
};

// Reads one length; false when the difference ends inside it.
bool ReadLength(DiffStream &diff, uint64_t &length)
{
    int first = diff.Next();
    if (first < 0)
        return false;
    int extra = 0;
    switch (first)
    {
    case 252:
        extra = diff.Next();
        if (extra < 0)
            return false;
        length = 253 + static_cast<uint64_t>(extra);
        return true;
    case 253:
        extra = 2;
        break;
    case 254:
        extra = 4;
        break;
    case 255:
        extra = 8;
        break;
    default:
        length = static_cast<uint64_t>(first) + 1;
        return true;
    }
    // The extra bytes are the low end of a big-endian 64-bit number.
    unsigned char field[8] = {};
    for (int index = 8 - extra; index < 8; ++index)
    {
        const int byte = diff.Next();
        if (byte < 0)
            return false;
        field[index] = static_cast<unsigned char>(byte);
    }
    length = BigEndian::Read64(field);
    return true;
}
} // namespace

void JojoDiff::AppendLength(std::string &text, uint64_t length)
{
    int extra = 0;
    if (length <= 252)
    {
        text.push_back(static_cast<char>(length - 1));
        return;
    }
    if (length <= 508)
    {
        text.push_back(static_cast<char>(252));
        text.push_back(static_cast<char>(length - 253));
        return;
    }
    if (length <= 0xFFFF)
    {
        text.push_back(static_cast<char>(253));
        extra = 2;
    }
    else if (length <= 0xFFFFFFFFu)
    {
        text.push_back(static_cast<char>(254));
        extra = 4;
    }
    else
    {
        text.push_back(static_cast<char>(255));
        extra = 8;
    }
    unsigned char field[8];
    BigEndian::Write64(field, length);
    text.append(reinterpret_cast<const char *>(field) + 8 - extra, extra);
}

ZELKRESULT ApplyJojoDiff(std::FILE *oldFile, std::FILE *diffFile, std::FILE *outFile, std::string &problem)
{
    DiffStream diff(diffFile);
    OldStream old(oldFile);
    OutputStream out(outFile);
    uint64_t position = 0; // the read position in the old file
    // The last opcode read; data with no opcode before it (as some writers leave out the MOD
    // opcode) modifies, which is what every data run does unless an INS opcode started it.
    int operation = 0;

    auto corrupt = [&](const char *what, uint64_t at) {
        problem = FormatText("corrupt difference: %s (difference offset %llu)", what,
                             static_cast<unsigned long long>(at));
        return ZELKRESULT_BAD_FORMAT;
    };
    auto writeData = [&](int byte) {
        out.Put(static_cast<uint8_t>(byte));
        if (operation != kInsert)
            ++position;
    };

    for (;;)
    {
        uint64_t at = diff.Offset();
        int byte = diff.Next();
        if (byte < 0)
            break;
        if (byte != kEscape)
        {
            writeData(byte);
            continue;
        }
        int code = diff.Next();
        if (code < 0)
        {
            if (diff.Failed())
                break;
            return corrupt("the difference ends with a single escape byte", at);
        }
        if (code == kEscape)
        {
            writeData(kEscape);
            continue;
        }
        // Inside a data run, the escape byte before its own opcode or before an ordinary byte
        // stands for itself.
        if (!IsOpcode(code) || (code == operation && (code == kModify || code == kInsert)))
        {
            writeData(kEscape);
            writeData(code);
            continue;
        }
        operation = code;
        if (code == kModify || code == kInsert)
            continue;
        uint64_t length = 0;
        if (!ReadLength(diff, length))
        {
            if (diff.Failed())
                break;
            return corrupt("the difference ends inside a length", at);
        }
        if (code == kBacktrack)
        {
            if (length > position)
                return corrupt("back-track before the start of the old file", at);
            position -= length;
        }
        else if (position + length < position)
        {
            return corrupt("position beyond the largest file offset", at);
        }
        else if (code == kDelete)
        {
            position += length;
        }
        else
        {
            ZELKRESULT result = old.CopyTo(position, length, out);
            if (result == ZELKRESULT_END_OF_DATA)
                return corrupt("copy past the end of the old file", at);
            if (result != ZELKRESULT_OK)
            {
                problem = out.Failed() ? "could not write the output" : "could not read the old file";
                return ZELKRESULT_IO;
            }
            position += length;
        }
    }
    if (diff.Failed())
    {
        problem = "could not read the difference";
        return ZELKRESULT_IO;
    }
    if (!out.Finish())
    {
        problem = "could not write the output";
        return ZELKRESULT_IO;
    }
    return ZELKRESULT_OK;
}

// ---------------------------------------------------------------------------------------------
// The generator.

namespace
{
// Bytes hashed per index entry: long enough that most hits are real matches, short enough to
// find the short runs between the many small relocations of a rebuilt program.
constexpr size_t kWindow = 16;
// Index entries at most; the sampling step of the old file grows with its size beyond this.
constexpr uint64_t kIndexBudget = uint64_t(1) << 23;
// Old windows are indexed at every kMinimumStep-th position at least. A sparser index finds the
// same long copies (a copy is extended backwards to where it really starts) but fewer short
// chance matches that pull the matcher away from the alignment it is on; it is smaller and
// faster too. Measured on rebuilt programs, 16 gave the smallest differences.
constexpr size_t kMinimumStep = 16;
// Previous copy alignments tried before the index: rebuilt programs keep returning to a few.
constexpr size_t kRecentAlignments = 4;
// A free continuation this long is taken without looking further.
constexpr size_t kGoodMatch = 64;
// Before a copy from elsewhere is taken, the current alignment is tried this many bytes further.
constexpr size_t kResumeLookahead = 8;
// Bytes a short copy costs: ESC EQL, a one-byte length and the opcode of the data run after it.
constexpr size_t kCopyOverhead = 5;
// What returning to the current alignment after a copy from elsewhere will cost (a short move).
constexpr ptrdiff_t kReturnCost = 3;
// How far ahead the index slot of a later position is fetched into the cache.
constexpr size_t kPrefetchDistance = 8;
// The new file is read through a window of this size, so memory follows the old file only.
constexpr size_t kNewWindowSize = 16 * 1024 * 1024;
// The window moves on when fewer bytes than this are left ahead of the matcher.
constexpr size_t kLookahead = 64 * 1024;
// Data waiting for the next copy is written out beyond this, keeping the last kLookahead bytes
// for extending a copy backwards.
constexpr size_t kPendingDataLimit = kNewWindowSize / 4;

struct FileCloser
{
    void operator()(std::FILE *file) const
    {
        std::fclose(file);
    }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

FilePointer OpenWithSize(const std::wstring &path, uint64_t &size, std::string &problem)
{
    const std::string native = PathToNative(path);
    FilePointer file(std::fopen(native.c_str(), "rb"));
    if (!file || GetFileSizeAt(path, size) != ZELKRESULT_OK)
    {
        problem = FormatText("could not open %s for reading: %s", native.c_str(), std::strerror(errno));
        return nullptr;
    }
    return file;
}

// Reads into buffer exactly count bytes or fails.
ZELKRESULT ReadExactly(std::FILE *file, uint8_t *buffer, size_t count, const std::wstring &path, std::string &problem)
{
    if (std::fread(buffer, 1, count, file) == count)
        return ZELKRESULT_OK;
    problem = FormatText("could not read %s", PathToNative(path).c_str());
    return ZELKRESULT_IO;
}

inline uint64_t Load64(const uint8_t *bytes)
{
    uint64_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

inline uint64_t WindowHash(const uint8_t *bytes)
{
    static_assert(kWindow == 16, "the hash reads two words");
    return Load64(bytes) * 0x9E3779B97F4A7C15ull ^ Load64(bytes + 8) * 0xC2B2AE3D27D4EB4Full;
}

// Length of the common prefix of a and b, at most limit.
inline size_t MatchForward(const uint8_t *a, const uint8_t *b, size_t limit)
{
    size_t length = 0;
    while (length + 8 <= limit)
    {
        uint64_t difference = Load64(a + length) ^ Load64(b + length);
        if (difference != 0)
            return length + static_cast<size_t>(__builtin_ctzll(difference) / 8);
        length += 8;
    }
    while (length < limit && a[length] == b[length])
        ++length;
    return length;
}

// Length of the common suffix of the bytes before a and before b, at most limit.
inline size_t MatchBackward(const uint8_t *a, const uint8_t *b, size_t limit)
{
    size_t length = 0;
    while (length + 8 <= limit)
    {
        uint64_t difference = Load64(a - length - 8) ^ Load64(b - length - 8);
        if (difference != 0)
            return length + static_cast<size_t>(__builtin_clzll(difference) / 8);
        length += 8;
    }
    while (length < limit && a[-1 - static_cast<ptrdiff_t>(length)] == b[-1 - static_cast<ptrdiff_t>(length)])
        ++length;
    return length;
}

size_t LengthSize(uint64_t length)
{
    if (length <= 252)
        return 1;
    if (length <= 508)
        return 2;
    if (length <= 0xFFFF)
        return 3;
    return length <= 0xFFFFFFFFu ? 5 : 9;
}

// Bytes of the DEL or BKT that moves the old position from `from` to `to`.
size_t MoveCost(uint64_t from, uint64_t to)
{
    if (from == to)
        return 0;
    return 2 + LengthSize(from < to ? to - from : from - to);
}

// The new file, read front to back through a window that keeps what the matcher may still
// look back at.
class NewFileWindow
{
public:
    ZELKRESULT Open(const std::wstring &path, std::string &problem)
    {
        m_path = path;
        m_file = OpenWithSize(path, m_size, problem);
        if (!m_file)
            return ZELKRESULT_IO;
        m_capacity = static_cast<size_t>(std::min<uint64_t>(m_size, kNewWindowSize));
        // One spare word: the matcher loads eight bytes at a time.
        m_buffer = std::make_unique_for_overwrite<uint8_t[]>(m_capacity + 8);
        return Fill(problem);
    }

    uint64_t Size() const
    {
        return m_size;
    }

    const uint8_t *At(uint64_t position) const
    {
        return m_buffer.get() + (position - m_base);
    }

    // Bytes loaded from position on.
    size_t Ahead(uint64_t position) const
    {
        return static_cast<size_t>(m_base + m_length - position);
    }

    bool Complete() const
    {
        return m_base + m_length == m_size;
    }

    // Drops everything before keepFrom and loads as much as fits behind the rest.
    ZELKRESULT MoveOn(uint64_t keepFrom, std::string &problem)
    {
        const size_t kept = Ahead(keepFrom);
        std::memmove(m_buffer.get(), At(keepFrom), kept);
        m_base = keepFrom;
        m_length = kept;
        return Fill(problem);
    }

private:
    ZELKRESULT Fill(std::string &problem)
    {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(m_capacity - m_length, m_size - m_base - m_length));
        ZELKRESULT result = ReadExactly(m_file.get(), m_buffer.get() + m_length, count, m_path, problem);
        if (result == ZELKRESULT_OK)
            m_length += count;
        return result;
    }

    std::wstring m_path;
    FilePointer m_file;
    uint64_t m_size = 0;
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_capacity = 0;
    uint64_t m_base = 0;
    size_t m_length = 0;
};

// Writes operations and keeps the applier's old position in step with them. Data may arrive in
// several pieces of one run, and adjacent copies are joined into one EQL.
class DiffEncoder
{
public:
    explicit DiffEncoder(OutputStream &out) : m_out(out)
    {
    }

    // Bytes that data of length literal costs in moving the old position to target, when the
    // data is split or chosen between MOD (which moves it along) and INS (which does not).
    static size_t LiteralMoveCost(uint64_t position, size_t literal, uint64_t target)
    {
        if (target >= position && target - position <= literal)
            return target - position == 0 || target - position == literal ? 0 : 2;
        return std::min(MoveCost(position + literal, target), MoveCost(position, target));
    }

    uint64_t Position() const
    {
        return m_position;
    }

    // literal as data, then a copy of length old bytes from `from`.
    void Emit(const uint8_t *literal, size_t literalLength, uint64_t from, uint64_t length)
    {
        if (literalLength == 0 && m_copyLength > 0 && from == m_position)
        {
            m_copyLength += length;
            m_position += length;
            return;
        }
        if (literalLength > 0)
        {
            if (from >= m_position && from - m_position <= literalLength)
            {
                // MOD up to the copy's start and INS the rest: one opcode instead of a move.
                size_t modified = static_cast<size_t>(from - m_position);
                Data(kModify, literal, modified);
                Data(kInsert, literal + modified, literalLength - modified);
            }
            else if (MoveCost(m_position + literalLength, from) <= MoveCost(m_position, from))
            {
                Data(kModify, literal, literalLength);
            }
            else
            {
                Data(kInsert, literal, literalLength);
            }
        }
        FlushCopy();
        if (from > m_position)
            Operation(kDelete, from - m_position);
        else if (from < m_position)
            Operation(kBacktrack, m_position - from);
        m_copyLength = length;
        m_position = from + length;
    }

    // Data that goes on the old position: the rest of a long run, or the tail of the new file
    // (the rest of the old file needs no operation).
    void Modify(const uint8_t *literal, size_t literalLength)
    {
        Data(kModify, literal, literalLength);
    }

    void Finish()
    {
        FlushCopy();
        CloseRun();
    }

private:
    void FlushCopy()
    {
        if (m_copyLength == 0)
            return;
        Operation(kEqual, m_copyLength);
        m_copyLength = 0;
    }

    void Operation(uint8_t opcode, uint64_t length)
    {
        CloseRun();
        m_scratch.clear();
        m_scratch.push_back(static_cast<char>(kEscape));
        m_scratch.push_back(static_cast<char>(opcode));
        AppendLength(m_scratch, length);
        m_out.Write(reinterpret_cast<const uint8_t *>(m_scratch.data()), m_scratch.size());
    }

    // Every run gets its opcode, even at the start, because some appliers ignore data without
    // one; a run that goes on gets none, because some appliers take a repeated opcode for data.
    // An escape byte is doubled where the applier would otherwise take it for the start of an
    // operation: before an escape or opcode byte and at the end of the run. Which of these it is
    // is known only with the next byte, so the decision waits for it.
    void Data(uint8_t opcode, const uint8_t *data, size_t length)
    {
        if (length == 0)
            return;
        FlushCopy();
        if (m_run != opcode)
        {
            CloseRun();
            m_out.Put(kEscape);
            m_out.Put(opcode);
            m_run = opcode;
        }
        for (size_t index = 0; index < length; ++index)
        {
            const uint8_t byte = data[index];
            if (m_escapeOpen && (byte == kEscape || IsOpcode(byte)))
                m_out.Put(kEscape);
            m_out.Put(byte);
            m_escapeOpen = byte == kEscape;
        }
        if (opcode == kModify)
            m_position += length;
    }

    void CloseRun()
    {
        if (m_escapeOpen)
            m_out.Put(kEscape);
        m_escapeOpen = false;
        m_run = 0;
    }

    OutputStream &m_out;
    uint64_t m_position = 0;   // the applier's old position after everything given so far
    uint64_t m_copyLength = 0; // a copy not yet written, ending at m_position
    uint8_t m_run = 0;         // opcode of the data run being written
    bool m_escapeOpen = false; // the last data byte was an escape byte
    std::string m_scratch;
};

// Greedy matcher: walks the new file, copying from the old file where it can and carrying the
// rest as data. At each position it first tries to go on where the old position already is
// (free), then the alignments of recent copies, then the hashed index of the old file.
class JojoDiffMatcher
{
public:
    JojoDiffMatcher(const uint8_t *old, size_t oldSize, NewFileWindow &now)
        : m_old(old), m_oldSize(oldSize), m_new(now)
    {
        BuildIndex();
    }

    ZELKRESULT Run(DiffEncoder &encoder, JojoDiffStatistics &statistics, std::string &problem)
    {
        const uint64_t newSize = m_new.Size();
        uint64_t position = 0;
        uint64_t literalStart = 0;
        // Empty entries point far beyond any old file.
        int64_t recent[kRecentAlignments];
        std::fill(std::begin(recent), std::end(recent), INT64_MIN);
        while (position < newSize)
        {
            if (m_new.Ahead(position) < kLookahead && !m_new.Complete())
            {
                if (position - literalStart > kPendingDataLimit)
                {
                    const size_t written = static_cast<size_t>(position - literalStart - kLookahead);
                    encoder.Modify(m_new.At(literalStart), written);
                    statistics.literalBytes += written;
                    literalStart += written;
                }
                ZELKRESULT result = m_new.MoveOn(literalStart, problem);
                if (result != ZELKRESULT_OK)
                    return result;
            }
            Candidate best;
            const size_t pending = static_cast<size_t>(position - literalStart);
            const uint64_t oldPosition = encoder.Position();
            Consider(best, position, pending, oldPosition, oldPosition + pending, false);
            if (pending > 0)
                Consider(best, position, pending, oldPosition, oldPosition, false);
            if (best.forward < kGoodMatch)
            {
                for (int64_t alignment : recent)
                {
                    const uint64_t old = position + alignment;
                    if (old != oldPosition && old != oldPosition + pending)
                        Consider(best, position, pending, oldPosition, old, true);
                }
                const size_t ahead = m_new.Ahead(position);
                if (m_tableBits > 0 && ahead >= kWindow)
                {
                    // The table is far larger than the caches: fetch the slot of a later
                    // position while this one is looked at.
                    if (ahead >= kPrefetchDistance + kWindow)
                        __builtin_prefetch(&m_table[Slot(WindowHash(m_new.At(position + kPrefetchDistance)))]);
                    uint64_t old = 0;
                    if (Lookup(WindowHash(m_new.At(position)), old))
                        Consider(best, position, pending, oldPosition, old, true);
                }
            }
            if (best.score > 0 && best.old != oldPosition + pending && best.old != oldPosition &&
                AlignmentResumesSoon(position, oldPosition + pending, best.score - kReturnCost))
                best.score = 0;
            if (best.score <= 0)
            {
                ++position;
                continue;
            }
            const uint64_t start = position - best.backward;
            const uint64_t from = best.old - best.backward;
            const size_t length = best.backward + best.forward;
            encoder.Emit(m_new.At(literalStart), static_cast<size_t>(start - literalStart), from, length);
            statistics.literalBytes += start - literalStart;
            statistics.copiedBytes += length;
            RememberAlignment(recent, static_cast<int64_t>(from - start));
            position = start + length;
            literalStart = position;
        }
        encoder.Modify(m_new.At(literalStart), static_cast<size_t>(newSize - literalStart));
        statistics.literalBytes += newSize - literalStart;
        encoder.Finish();
        return ZELKRESULT_OK;
    }

private:
    struct Candidate
    {
        uint64_t old = 0;
        size_t forward = 0;
        size_t backward = 0;
        ptrdiff_t score = 0;
    };

    // Most recent first, each alignment once.
    static void RememberAlignment(int64_t (&recent)[kRecentAlignments], int64_t alignment)
    {
        size_t found = 0;
        while (found + 1 < kRecentAlignments && recent[found] != alignment)
            ++found;
        std::copy_backward(recent, recent + found, recent + found + 1);
        recent[0] = alignment;
    }

    // Whether the data run on the current alignment ends within a few bytes in a copy that saves
    // at least score bytes: then a copy from elsewhere at position is a detour (a relocated address
    // inside code that otherwise matches) and is better carried as data.
    bool AlignmentResumesSoon(uint64_t position, uint64_t old, ptrdiff_t score) const
    {
        for (size_t ahead = 1; ahead <= kResumeLookahead && ahead < m_new.Ahead(position); ++ahead)
        {
            if (old + ahead >= m_oldSize)
                return false;
            const size_t forward = MatchForward(m_new.At(position + ahead), m_old + old + ahead,
                                                std::min<uint64_t>(m_new.Ahead(position + ahead), m_oldSize - old - ahead));
            // The skipped bytes go as data, and the copy needs its EQL and the next run's opcode.
            if (static_cast<ptrdiff_t>(forward) - static_cast<ptrdiff_t>(ahead + kCopyOverhead) >= score)
                return true;
        }
        return false;
    }

    void BuildIndex()
    {
        if (m_oldSize < kWindow)
            return;
        const uint64_t windows = m_oldSize - kWindow + 1;
        m_step = std::max(kMinimumStep, static_cast<size_t>((windows + kIndexBudget - 1) / kIndexBudget));
        const uint64_t entries = (windows + m_step - 1) / m_step;
        m_tableBits = 1;
        while ((uint64_t(1) << m_tableBits) < entries)
            ++m_tableBits;
        // Entry numbers start at 1 (0 is an empty slot); the bits they leave free hold a tag.
        m_indexBits = 1;
        while ((uint64_t(1) << m_indexBits) <= entries)
            ++m_indexBits;
        m_tagBits = 32 - m_indexBits;
        m_table.assign(size_t(1) << m_tableBits, 0);
        // Later windows win a shared slot; in repeated data any copy of it serves as well.
        for (uint64_t entry = 0; entry < entries; ++entry)
        {
            if (entry + kPrefetchDistance < entries)
                __builtin_prefetch(&m_table[Slot(WindowHash(m_old + (entry + kPrefetchDistance) * m_step))], 1);
            const uint64_t hash = WindowHash(m_old + entry * m_step);
            m_table[Slot(hash)] = Tag(hash) | static_cast<uint32_t>(entry + 1);
        }
    }

    size_t Slot(uint64_t hash) const
    {
        return static_cast<size_t>(hash >> (64 - m_tableBits));
    }

    // More bits of the hash, so that most windows that merely share a slot are told apart
    // without reading the old file.
    uint32_t Tag(uint64_t hash) const
    {
        if (m_tagBits == 0)
            return 0;
        return static_cast<uint32_t>(hash >> (64 - m_tableBits - m_tagBits)) << m_indexBits;
    }

    bool Lookup(uint64_t hash, uint64_t &old) const
    {
        const uint32_t entry = m_table[Slot(hash)];
        const uint32_t number = m_indexBits < 32 ? entry & ((uint32_t(1) << m_indexBits) - 1) : entry;
        if (number == 0 || (entry ^ Tag(hash)) != number)
            return false;
        old = uint64_t(number - 1) * m_step;
        return true;
    }

    // Scores copying from old position `old` at new position `position`, with pending data
    // bytes before it, and keeps it in best when it saves more bytes than best.
    void Consider(Candidate &best, uint64_t position, size_t pending, uint64_t oldPosition, uint64_t old,
                  bool extendBackward) const
    {
        if (old >= m_oldSize)
            return;
        const uint8_t *now = m_new.At(position);
        const size_t forward = MatchForward(now, m_old + old, std::min<uint64_t>(m_new.Ahead(position), m_oldSize - old));
        if (forward == 0)
            return;
        size_t backward = 0;
        if (extendBackward)
            backward = MatchBackward(now, m_old + old, static_cast<size_t>(std::min<uint64_t>(pending, old)));
        const size_t length = forward + backward;
        // What the copy costs beyond the data bytes it replaces: the move of the old position,
        // the EQL operation and the opcode of the data run that follows it.
        const size_t cost = DiffEncoder::LiteralMoveCost(oldPosition, pending - backward, old - backward) + 2 +
                            LengthSize(length) + 2;
        const ptrdiff_t score = static_cast<ptrdiff_t>(length) - static_cast<ptrdiff_t>(cost);
        if (score > best.score)
            best = Candidate{old, forward, backward, score};
    }

    const uint8_t *m_old;
    size_t m_oldSize;
    NewFileWindow &m_new;
    size_t m_step = 1;
    int m_tableBits = 0;
    int m_indexBits = 32;
    int m_tagBits = 0;
    std::vector<uint32_t> m_table;
};
} // namespace

ZELKRESULT MakeJojoDiff(const std::wstring &oldPath, const std::wstring &newPath, const std::wstring &diffPath,
                        std::string &problem, JojoDiffStatistics *statistics)
{
    JojoDiffStatistics figures;
    // The matcher looks anywhere in the old file, so it is read whole (with one spare word for
    // eight-byte loads); the new file is read front to back.
    FilePointer oldFile = OpenWithSize(oldPath, figures.oldSize, problem);
    if (!oldFile)
        return ZELKRESULT_IO;
    const size_t oldSize = static_cast<size_t>(figures.oldSize);
    std::unique_ptr<uint8_t[]> old;
    NewFileWindow now;
    try
    {
        old = std::make_unique_for_overwrite<uint8_t[]>(oldSize + 8);
        if (ReadExactly(oldFile.get(), old.get(), oldSize, oldPath, problem) != ZELKRESULT_OK)
            return ZELKRESULT_IO;
        oldFile.reset();
        if (now.Open(newPath, problem) != ZELKRESULT_OK)
            return ZELKRESULT_IO;
    }
    catch (const std::bad_alloc &)
    {
        problem = FormatText("not enough memory for an old file of %llu bytes",
                             static_cast<unsigned long long>(figures.oldSize));
        return ZELKRESULT_NO_MEMORY;
    }
    figures.newSize = now.Size();

    // The difference appears under its name only when complete.
    ReplacementFile file(diffPath);
    if (!file.IsOpen() || !file.Stream())
    {
        problem = FormatText("could not create %s: %s", PathToNative(diffPath).c_str(), std::strerror(errno));
        return ZELKRESULT_IO;
    }

    OutputStream out(file.Stream());
    ZELKRESULT result = ZELKRESULT_OK;
    try
    {
        DiffEncoder encoder(out);
        JojoDiffMatcher matcher(old.get(), oldSize, now);
        result = matcher.Run(encoder, figures, problem);
    }
    catch (const std::bad_alloc &)
    {
        problem = "not enough memory for the index of the old file";
        result = ZELKRESULT_NO_MEMORY;
    }
    const bool written = out.Finish();
    figures.diffSize = out.Written();
    if (result != ZELKRESULT_OK)
        return result;
    if (!written || !file.Commit())
    {
        problem = FormatText("could not write %s: %s", PathToNative(diffPath).c_str(), std::strerror(errno));
        return ZELKRESULT_IO;
    }
    if (statistics)
        *statistics = figures;
    return ZELKRESULT_OK;
}
