#include "run/PatchSettings.h"

namespace ZelkPatch
{
void PatchSettings::SetLocalMode(bool on)
{
    m_localMode = on;
    if (on)
        m_downloadMode = false;
}

void PatchSettings::SetDownloadMode(bool on)
{
    m_downloadMode = on;
    if (on)
        m_localMode = false;
}
} // namespace ZelkPatch
