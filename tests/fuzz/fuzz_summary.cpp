// A summary file ("repair.cks") as a previous run, or a damaged disk, left it: loaded, saved, and
// loaded again. What loads saves to bytes that load to the same entries and save the same again.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "net/ZelkDataBuffer.h"
#include "repair/FileTreeSummary.h"

namespace
{
std::string Saved(FileTreeSummary &summary)
{
    ZelkDataBufferMemoryDynamic bytes;
    fuzz::Check(summary.Save(bytes) == ZELKRESULT_OK, "a loaded summary cannot be saved");
    return std::string(reinterpret_cast<const char *>(bytes.GetData()), bytes.GetSize());
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ZelkDataBufferMemoryStatic source(data, static_cast<uint32_t>(size));
    FileTreeSummary loaded;
    if (loaded.Load(source) != ZELKRESULT_OK)
        return 0;
    const std::string saved = Saved(loaded);

    ZelkDataBufferMemoryStatic again(saved.data(), static_cast<uint32_t>(saved.size()));
    FileTreeSummary reloaded;
    fuzz::Check(reloaded.Load(again) == ZELKRESULT_OK, "a saved summary does not load");
    const std::vector<FileTreeSummary::Entry> first = loaded.GetEntries();
    const std::vector<FileTreeSummary::Entry> second = reloaded.GetEntries();
    fuzz::Check(first.size() == second.size(), "the entries changed in number");
    for (size_t i = 0; i < first.size(); ++i)
        fuzz::Check(first[i].name == second[i].name && first[i].checksum == second[i].checksum &&
                        first[i].modifiedTime == second[i].modifiedTime,
                    "an entry changed on its way through the file");
    fuzz::Check(Saved(reloaded) == saved, "saving the same entries gave other bytes");
    return 0;
}
