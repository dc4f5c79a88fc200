// MD5 (RFC 1321): the identity of installed files, as 32 lowercase hexadecimal characters.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class ConfinedDirectory;

class MD5
{
public:
    MD5();
    // Hashes the stream to its end in 1,024-byte reads, closes it and finalizes. The object owns
    // the stream from here on. A read error ends the input as if the file had ended there.
    explicit MD5(FILE *stream);

    // Misuse (updating or finalizing twice, asking for an unfinished digest) changes nothing and
    // is written to standard error.
    void update(const unsigned char *input, unsigned length);
    void finalize();
    // The digest as 32 lowercase hexadecimal characters; empty before finalize.
    std::string hex_digest() const;

private:
    void init();

    uint32_t m_state[4];
    uint32_t m_count[2]; // bits added so far, low word first
    uint8_t m_buffer[64];
    uint8_t m_digest[16];
    bool m_finalized;
};

// The MD5 of a file's bytes in lowercase hexadecimal. False (out unchanged) when the file cannot
// be opened.
bool HashFileMD5(const std::wstring &path, std::wstring &out);
// The same for a file beneath a confined directory; errno kNameLeadsOutside when name leads outside.
bool HashFileMD5(const ConfinedDirectory &directory, const std::wstring &name, std::wstring &out);
