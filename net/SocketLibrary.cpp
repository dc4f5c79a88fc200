#include "net/SocketLibrary.h"

namespace
{
// Versions as the platform encodes them: major in the low byte, minor in the high byte.
constexpr uint16_t MakeVersion(uint8_t major, uint8_t minor)
{
    return static_cast<uint16_t>(major | (minor << 8));
}

// Orders versions by major, then minor.
constexpr unsigned Rank(uint16_t version)
{
    const unsigned major = version & 0xFF;
    const unsigned minor = version >> 8;
    return major * 0x100 + minor;
}

constexpr uint16_t kLowestVersion = MakeVersion(1, 0);
constexpr uint16_t kHighestVersion = MakeVersion(SocketLibrary::kHighestMajor, SocketLibrary::kHighestMinor);
} // namespace

bool SocketLibrary::Startup(uint8_t major, uint8_t minor)
{
    const uint16_t requested = MakeVersion(major, minor);
    // The platform's answer: below its lowest version it refuses; above its highest it offers that.
    if (Rank(requested) < Rank(kLowestVersion))
        return false;
    const uint16_t granted = Rank(requested) > Rank(kHighestVersion) ? kHighestVersion : requested;
    if (granted != requested)
        return false;
    m_started = true;
    return true;
}

void SocketLibrary::Cleanup()
{
    m_started = false;
}
