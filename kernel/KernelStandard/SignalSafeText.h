// Text built in a fixed buffer and written with write(2): what a signal handler may use to format
// a report (no allocation, no lock, no stdio).
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <unistd.h>

template <size_t Capacity>
class SignalSafeText
{
public:
    // Bound to a descriptor, a full buffer is written out and the text goes on; unbound, text that
    // does not fit is cut.
    explicit SignalSafeText(int fd = -1) : m_fd(fd) { m_text[0] = 0; }
    ~SignalSafeText() { Flush(); }
    SignalSafeText(const SignalSafeText &) = delete;
    SignalSafeText &operator=(const SignalSafeText &) = delete;

    SignalSafeText &Char(char c)
    {
        if (m_size + 1 >= Capacity)
        {
            if (m_fd < 0)
                return *this;
            Flush();
        }
        m_text[m_size++] = c;
        m_text[m_size] = 0;
        return *this;
    }

    SignalSafeText &Text(const char *text, size_t length)
    {
        for (size_t i = 0; i < length; ++i)
            Char(text[i]);
        return *this;
    }

    SignalSafeText &Text(const char *text)
    {
        while (text && *text)
            Char(*text++);
        return *this;
    }

    SignalSafeText &Decimal(int64_t value)
    {
        uint64_t magnitude = static_cast<uint64_t>(value);
        if (value < 0)
        {
            Char('-');
            magnitude = 0 - magnitude;
        }
        char digits[20];
        size_t count = 0;
        do
        {
            digits[count++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        while (count > 0)
            Char(digits[--count]);
        return *this;
    }

    // Lower-case hexadecimal, at least minDigits digits, without a prefix.
    SignalSafeText &Hex(uint64_t value, int minDigits = 1)
    {
        char digits[16];
        int count = 0;
        do
        {
            digits[count++] = "0123456789abcdef"[value & 0xF];
            value >>= 4;
        } while (value != 0);
        for (int pad = count; pad < minDigits && pad < 16; ++pad)
            Char('0');
        while (count > 0)
            Char(digits[--count]);
        return *this;
    }

    // "0x" and 16 digits: addresses line up.
    SignalSafeText &Address(uint64_t value) { return Text("0x").Hex(value, 16); }

    const char *c_str() const { return m_text; }
    size_t size() const { return m_size; }

    void Clear()
    {
        m_size = 0;
        m_text[0] = 0;
    }

    void Flush()
    {
        if (m_fd < 0)
            return;
        const char *data = m_text;
        size_t left = m_size;
        while (left > 0)
        {
            const ssize_t written = write(m_fd, data, left);
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                break;
            data += written;
            left -= static_cast<size_t>(written);
        }
        Clear();
    }

private:
    int m_fd;
    size_t m_size = 0;
    char m_text[Capacity];
};
