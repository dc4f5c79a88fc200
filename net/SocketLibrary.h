// Start-up of the platform's socket library, asked for by version as the program always has. This
// platform offers versions 1.0 to 2.2 and needs no start-up of its own, so the only way to fail is
// to ask for a version it does not grant.
#pragma once

#include <cstdint>

class SocketLibrary
{
public:
    static constexpr uint8_t kHighestMajor = 2;
    static constexpr uint8_t kHighestMinor = 2;

    // True when the library started and granted exactly the version asked for.
    bool Startup(uint8_t major, uint8_t minor);
    // Ends what a successful Startup began; nothing otherwise.
    void Cleanup();
    bool IsStarted() const { return m_started; }

private:
    bool m_started = false;
};
