// The payload behind a standalone patcher: opened, its builds and steps looked up, and every step
// of the chain extracted. A step's data can only come from the file itself.
#include <set>
#include <string>

#include "FuzzSupport.h"
#include "kernel/TextConvert.h"
#include "patch/PatchPayload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzz::Workspace workspace("payload");
    const fuzz::fs::path run = workspace.Fresh();
    const fuzz::fs::path patcher = run / "patcher";
    const fuzz::fs::path step = run / "step.zip";
    fuzz::WriteBytes(patcher, data, size);

    PatchPayload payload;
    if (payload.Open(NativeToPath(patcher.string())) != ZELKRESULT_OK)
        return 0;
    payload.LookupBuild("d41d8cd98f00b204e9800998ecf8427e");
    const std::string target = payload.TargetVersion();
    // Walks the chain from the usual first builds; a chain that loops is followed once around.
    for (const char *first : {"100", "101", ""})
    {
        std::set<std::string> seen;
        for (std::string version = first; seen.insert(version).second; version = payload.NextVersion(version))
        {
            if (payload.ExtractStep(version, NativeToPath(step.string())) != ZELKRESULT_OK)
                break;
            std::error_code error;
            const uintmax_t extracted = fuzz::fs::file_size(step, error);
            fuzz::Check(!error && extracted <= size, "a step larger than the payload file");
            if (version == target)
                break;
        }
    }
    return 0;
}
