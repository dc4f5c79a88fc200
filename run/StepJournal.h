// The journal of the step under way, kept in the installation ("patch-journal.txt") from before
// its package is applied until the step is applied and the uninstall log extended. A run cut short
// by a crash, a kill or a power loss leaves it behind, and the next run finishes that step first.
#pragma once

#include <string>

class ConfinedDirectory;

namespace ZelkPatch
{
struct StepJournal
{
    std::string source;
    std::string target;
    // Where the step's package came from: "payload" or the address it was downloaded from.
    std::string origin;
};

// False when there is no journal, or none that names a source version.
bool ReadStepJournal(const ConfinedDirectory &installation, StepJournal &journal);
// Whole on the disk before it returns; false (errno kNameLeadsOutside) when the journal's name
// leads outside the installation.
bool WriteStepJournal(const ConfinedDirectory &installation, const StepJournal &journal);
bool RemoveStepJournal(const ConfinedDirectory &installation);
} // namespace ZelkPatch
