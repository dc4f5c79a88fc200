// "patches.txt" as a server sends it: split into entries and their keys.
#include <map>
#include <string>

#include "FuzzSupport.h"
#include "net/ZelkDataBuffer.h"
#include "patch/PatchList.h"
#include "patch/PelmoPatchTask.h"

namespace
{
class ListTask : public PelmoPatchTask
{
public:
    void Report(MessageLevel, const std::string &) override {}
    void Report(MessageLevel, const std::wstring &) override {}
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ZelkDataBufferMemoryStatic list(data, static_cast<uint32_t>(size));
    ListTask task;
    const bool accepted = task.ParsePatchList(list, L"http://127.0.0.1/patches/");
    fuzz::Check(list.GetPosition() == list.GetSize(), "the list was not read to its end");
    for (const char *version : {"100", "101", "102"})
    {
        const PatchListEntry *entry = task.FindPatchEntry(version);
        fuzz::Check(!entry || accepted, "an entry of a refused list");
        if (entry)
            fuzz::Check(!entry->targetVersion.empty() && !entry->exeUrl.empty() && !entry->dataUrl.empty(),
                        "an incomplete entry was taken");
    }

    ZelkDataBufferMemoryStatic block(data, static_cast<uint32_t>(size));
    std::map<std::string, std::string> values;
    ParseKeyValues(block, values);
    for (const auto &[key, value] : values)
    {
        fuzz::Check(key.find(':') == std::string::npos, "a key holds the separator");
        fuzz::Check(key.find('\n') == std::string::npos && value.find('\n') == std::string::npos,
                    "a key or value runs over a line end");
    }
    return 0;
}
