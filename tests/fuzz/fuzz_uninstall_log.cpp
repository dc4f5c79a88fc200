// An installation's "unins000.dat" as another installer left it: read strictly, then extended by
// one delete-file record. An extension either leaves the file as it was or yields a log that reads
// as the old one with the new record ahead of the closing end-install record.
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "kernel/TextConvert.h"
#include "patch/UninstallLog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzz::Workspace workspace("uninstall");
    const fuzz::fs::path run = workspace.Fresh();
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    UninstallLogContents before;
    std::string error;
    const bool wellFormed = ParseUninstallLog(bytes, before, error);

    const fuzz::fs::path log = run / "unins000.dat";
    fuzz::WriteBytes(log, data, size);
    const bool extended = ExtendUninstallLog(NativeToPath(run.string()), {L"data/added.pak"});
    const std::string written = fuzz::ReadBytes(log);
    if (!extended)
    {
        fuzz::Check(written == bytes, "a failed extension changed the log");
        return 0;
    }
    if (!wellFormed)
        return 0;
    UninstallLogContents after;
    fuzz::Check(ParseUninstallLog(written, after, error), "the extended log does not read:", error);
    fuzz::Check(after.records.size() == before.records.size() + 1, "not exactly one record was added");
    fuzz::Check(!after.records.empty() && after.records.back().type == kUninstallRecordEndInstall,
                "the end-install record is not last");
    const UninstallRecord &added = after.records[after.records.size() - 2];
    fuzz::Check(added.type == kUninstallRecordDeleteFile && added.strings.size() == 1 &&
                    added.strings[0] == NativeToPath((run / "data/added.pak").string()),
                "the new record is not the delete-file record");
    for (size_t i = 0; i + 2 < after.records.size(); ++i)
        fuzz::Check(after.records[i].data == before.records[i].data && after.records[i].type == before.records[i].type,
                    "an earlier record changed");
    return 0;
}
