#include "run/StepJournal.h"

#include <cstdint>

#include "kernel/ConfinedDirectory.h"
#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"

namespace ZelkPatch
{
namespace
{
// A journal holds three short lines; anything much larger is not one.
constexpr uint64_t kMaxJournalSize = 64 * 1024;

bool ReadJournalField(const std::string &line, const char *name, std::string &value)
{
    const std::string prefix = std::string(name) + "=";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return false;
    value = line.substr(prefix.size());
    return true;
}
} // namespace

bool ReadStepJournal(const ConfinedDirectory &installation, StepJournal &journal)
{
    std::string text;
    if (installation.ReadWholeFile(ProductFacts::kStepJournalName, text, kMaxJournalSize) != ZELKRESULT_OK)
        return false;
    journal = StepJournal();
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!ReadJournalField(line, "source", journal.source) && !ReadJournalField(line, "target", journal.target))
            ReadJournalField(line, "origin", journal.origin);
    }
    return !journal.source.empty();
}

bool WriteStepJournal(const ConfinedDirectory &installation, const StepJournal &journal)
{
    // The run holds the installation: a new journal left beside it by a run that died is nobody's.
    RemoveAbandonedReplacements(installation, ProductFacts::kStepJournalName);
    // On the disk before the step starts: a power cut must not leave the journal empty.
    return WriteWholeFile(installation, ProductFacts::kStepJournalName,
                          "source=" + journal.source + "\ntarget=" + journal.target + "\norigin=" + journal.origin +
                              "\n");
}

bool RemoveStepJournal(const ConfinedDirectory &installation)
{
    return installation.DeleteFile(ProductFacts::kStepJournalName) || errno == ENOENT;
}
} // namespace ZelkPatch
