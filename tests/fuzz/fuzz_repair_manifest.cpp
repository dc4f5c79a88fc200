// A repair manifest as a web server, or whoever stands in its place, serves it: read, and what
// reads is written again. A manifest that reads is in its one canonical form (it writes back as the
// same bytes), and every file it lists is found by its name and lies inside its block digests.
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "repair/FileTreeSummary.h"
#include "repair/RepairManifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    RepairManifest manifest;
    std::string problem;
    if (manifest.Parse(data, size, problem) != ZELKRESULT_OK)
    {
        fuzz::Check(manifest.GetFiles().empty(), "a refused manifest kept files");
        return 0;
    }
    const std::string written = manifest.Encode();
    fuzz::Check(written.size() == size && std::memcmp(written.data(), data, size) == 0,
                "a manifest that reads does not write back as its own bytes");
    for (const RepairManifest::File &file : manifest.GetFiles())
    {
        const std::wstring keyPath = KeyPathOfManifestName(file.name);
        fuzz::Check(manifest.FindFile(keyPath) == &file, "a listed file is not found by its name", file.name);
        const uint64_t segments = SegmentCount(file.size);
        if (segments == 0)
            continue;
        const uint64_t last = segments - 1;
        fuzz::Check(RepairManifest::BlocksOffset(file, last) + RepairManifest::BlocksLength(file, last) <=
                        manifest.GetBlockCount() * kRepairDigestSize,
                    "a segment's block digests lie beyond repair-blocks", file.name);
        // A deletion of a listed file is never vouched for.
        fuzz::Check(manifest.Vouch(MakeSegmentKey(keyPath, 0), 0, nullptr, 0, file.size) == RecordVouch::NotCalledFor,
                    "the manifest vouches for deleting its own file", file.name);
    }
    return 0;
}
