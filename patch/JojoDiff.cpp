#include "patch/JojoDiff.h"

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <memory>
#include <random>
#include <vector>

#include "kernel/FileUtil.h"
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
            if (position > static_cast<uint64_t>(INT64_MAX) ||
                fseeko(m_file, static_cast<off_t>(position), SEEK_SET) != 0)
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
    length = 0;
    for (int index = 0; index < extra; ++index)
    {
        int byte = diff.Next();
        if (byte < 0)
            return false;
        length = (length << 8) | static_cast<uint64_t>(byte);
    }
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
    for (int index = extra - 1; index >= 0; --index)
        text.push_back(static_cast<char>((length >> (8 * index)) & 0xFF));
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
// Previous copy alignments tried before the index: rebuilt programs keep returning to a few.
constexpr size_t kRecentAlignments = 4;
// A free continuation this long is taken without looking further.
constexpr size_t kGoodMatch = 64;
constexpr int kTemporaryNameAttempts = 100;
constexpr size_t kPrefetchDistance = 8;

struct FileContents
{
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
};

struct FileCloser
{
    void operator()(std::FILE *file) const
    {
        std::fclose(file);
    }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

ZELKRESULT ReadWholeFile(const std::wstring &path, FileContents &contents, std::string &problem)
{
    const std::string native = PathToNative(path);
    uint64_t size = 0;
    FilePointer file(std::fopen(native.c_str(), "rb"));
    if (!file || GetFileSizeAt(path, size) != ZELKRESULT_OK)
    {
        problem = FormatText("could not open %s for reading: %s", native.c_str(), std::strerror(errno));
        return ZELKRESULT_IO;
    }
    // One spare word lets the matcher load eight bytes at the last position.
    contents.data = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(size) + 8);
    contents.size = static_cast<size_t>(size);
    if (std::fread(contents.data.get(), 1, contents.size, file.get()) != contents.size)
    {
        problem = FormatText("could not read %s", native.c_str());
        return ZELKRESULT_IO;
    }
    return ZELKRESULT_OK;
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

// Writes operations and keeps the applier's old position in step with them.
class DiffEncoder
{
public:
    explicit DiffEncoder(OutputStream &out) : m_out(out)
    {
    }

    // Bytes the literal run of length literal costs in moving the old position to target, when
    // the run is split or chosen between MOD (which moves it along) and INS (which does not).
    static size_t LiteralMoveCost(uint64_t position, size_t literal, uint64_t target)
    {
        if (target >= position && target - position <= literal)
            return target - position == 0 || target - position == literal ? 0 : 2;
        return std::min(MoveCost(position + literal, target), MoveCost(position, target));
    }

    // literal as data, then a copy of length old bytes from `from`.
    void Emit(const uint8_t *literal, size_t literalLength, uint64_t from, uint64_t length)
    {
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
        if (from > m_position)
            Operation(kDelete, from - m_position);
        else if (from < m_position)
            Operation(kBacktrack, m_position - from);
        Operation(kEqual, length);
        m_position = from + length;
    }

    // The tail of the new file; the rest of the old file needs no operation.
    void Finish(const uint8_t *literal, size_t literalLength)
    {
        Data(kModify, literal, literalLength);
    }

private:
    void Operation(uint8_t opcode, uint64_t length)
    {
        m_scratch.clear();
        m_scratch.push_back(static_cast<char>(kEscape));
        m_scratch.push_back(static_cast<char>(opcode));
        AppendLength(m_scratch, length);
        m_out.Write(reinterpret_cast<const uint8_t *>(m_scratch.data()), m_scratch.size());
    }

    // Every run gets its opcode, even at the start, because some appliers ignore data without
    // one. An escape byte is doubled where the applier would otherwise take it for the start of
    // an operation: before an escape or opcode byte and at the end of the run.
    void Data(uint8_t opcode, const uint8_t *data, size_t length)
    {
        if (length == 0)
            return;
        m_out.Put(kEscape);
        m_out.Put(opcode);
        for (size_t index = 0; index < length; ++index)
        {
            uint8_t byte = data[index];
            m_out.Put(byte);
            if (byte == kEscape && (index + 1 == length || IsOpcode(data[index + 1]) || data[index + 1] == kEscape))
                m_out.Put(kEscape);
        }
        if (opcode == kModify)
            m_position += length;
    }

    OutputStream &m_out;
    uint64_t m_position = 0;
    std::string m_scratch;
};

// Greedy matcher: walks the new file, copying from the old file where it can and carrying the
// rest as data. At each position it first tries to go on where the old position already is
// (free), then the alignments of recent copies, then the hashed index of the old file.
class JojoDiffMatcher
{
public:
    JojoDiffMatcher(const FileContents &oldFile, const FileContents &newFile)
        : m_old(oldFile.data.get()), m_oldSize(oldFile.size), m_new(newFile.data.get()), m_newSize(newFile.size)
    {
        BuildIndex();
    }

    void Run(DiffEncoder &encoder, JojoDiffStatistics &statistics)
    {
        size_t position = 0;
        size_t literalStart = 0;
        uint64_t oldPosition = 0; // where the applier stands after the last copy
        int64_t recent[kRecentAlignments] = {};
        while (position < m_newSize)
        {
            Candidate best;
            const size_t pending = position - literalStart;
            Consider(best, position, pending, oldPosition, oldPosition + pending, false);
            if (pending > 0)
                Consider(best, position, pending, oldPosition, oldPosition, false);
            if (best.forward < kGoodMatch)
            {
                for (int64_t alignment : recent)
                    Consider(best, position, pending, oldPosition, position + alignment, true);
                if (m_tableBits > 0 && position + kWindow <= m_newSize)
                {
                    // The table is far larger than the caches: fetch the slot of a later
                    // position while this one is looked at.
                    if (position + kPrefetchDistance + kWindow <= m_newSize)
                        __builtin_prefetch(&m_table[Slot(WindowHash(m_new + position + kPrefetchDistance))]);
                    uint64_t old = 0;
                    if (Lookup(WindowHash(m_new + position), old))
                        Consider(best, position, pending, oldPosition, old, true);
                }
            }
            if (best.score <= 0)
            {
                ++position;
                continue;
            }
            const size_t start = position - best.backward;
            const uint64_t from = best.old - best.backward;
            const size_t length = best.backward + best.forward;
            encoder.Emit(m_new + literalStart, start - literalStart, from, length);
            statistics.literalBytes += start - literalStart;
            statistics.copiedBytes += length;
            const int64_t alignment = static_cast<int64_t>(from) - static_cast<int64_t>(start);
            if (alignment != recent[0])
            {
                std::memmove(recent + 1, recent, sizeof recent - sizeof recent[0]);
                recent[0] = alignment;
            }
            position = start + length;
            literalStart = position;
            oldPosition = from + length;
        }
        encoder.Finish(m_new + literalStart, m_newSize - literalStart);
        statistics.literalBytes += m_newSize - literalStart;
    }

private:
    struct Candidate
    {
        uint64_t old = 0;
        size_t forward = 0;
        size_t backward = 0;
        ptrdiff_t score = 0;
    };

    void BuildIndex()
    {
        if (m_oldSize < kWindow)
            return;
        const uint64_t windows = m_oldSize - kWindow + 1;
        m_step = static_cast<size_t>((windows + kIndexBudget - 1) / kIndexBudget);
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

    // Scores copying from old position `old` at new position `position`, with pending literal
    // bytes before it, and keeps it in best when it saves more bytes than best.
    void Consider(Candidate &best, size_t position, size_t pending, uint64_t oldPosition, uint64_t old,
                  bool extendBackward) const
    {
        if (old >= m_oldSize)
            return;
        size_t forward = MatchForward(m_new + position, m_old + old, std::min<uint64_t>(m_newSize - position, m_oldSize - old));
        if (forward == 0)
            return;
        size_t backward = 0;
        if (extendBackward)
            backward = MatchBackward(m_new + position, m_old + old, std::min<uint64_t>(pending, old));
        const size_t length = forward + backward;
        // What the copy costs beyond the literal bytes it replaces: the move of the old position,
        // the EQL operation and the opcode of the data run that follows it.
        const size_t cost = DiffEncoder::LiteralMoveCost(oldPosition, pending - backward, old - backward) + 2 +
                            LengthSize(length) + 2;
        const ptrdiff_t score = static_cast<ptrdiff_t>(length) - static_cast<ptrdiff_t>(cost);
        if (score > best.score)
            best = Candidate{old, forward, backward, score};
    }

    const uint8_t *m_old;
    size_t m_oldSize;
    const uint8_t *m_new;
    size_t m_newSize;
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
    FileContents oldFile;
    FileContents newFile;
    ZELKRESULT result = ReadWholeFile(oldPath, oldFile, problem);
    if (result == ZELKRESULT_OK)
        result = ReadWholeFile(newPath, newFile, problem);
    if (result != ZELKRESULT_OK)
        return result;
    figures.oldSize = oldFile.size;
    figures.newSize = newFile.size;

    // The difference appears under its name only when complete.
    std::random_device random;
    std::wstring temporary;
    FilePointer file;
    for (int attempt = 0; attempt < kTemporaryNameAttempts && !file; ++attempt)
    {
        temporary = diffPath + FormatTextW(L".part%08x", static_cast<unsigned>(random()));
        file.reset(std::fopen(PathToNative(temporary).c_str(), "wbx"));
        if (!file && errno != EEXIST)
            break;
    }
    if (!file)
    {
        problem = FormatText("could not create %s: %s", PathToNative(diffPath).c_str(), std::strerror(errno));
        return ZELKRESULT_IO;
    }

    OutputStream out(file.get());
    {
        DiffEncoder encoder(out);
        JojoDiffMatcher matcher(oldFile, newFile);
        matcher.Run(encoder, figures);
    }
    bool written = out.Finish();
    figures.diffSize = out.Written();
    written = std::fclose(file.release()) == 0 && written;
    if (!written || !ReplaceFileAt(temporary, diffPath))
    {
        DeleteFileAt(temporary);
        problem = FormatText("could not write %s", PathToNative(diffPath).c_str());
        return ZELKRESULT_IO;
    }
    if (statistics)
        *statistics = figures;
    return ZELKRESULT_OK;
}
