#include "patch/JojoDiff.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "kernel/FileUtil.h"

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
