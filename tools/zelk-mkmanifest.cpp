// zelk-mkmanifest ROOT OUTDIR [--serial N] [--sign PRIVATE]...
// Writes the repair manifest of a reference tree, signed on request, for repairs from a web server.
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/TextConvert.h"
#include "publish/PublisherFiles.h"
#include "publish/PublisherSigningKey.h"
#include "publish/RepairManifestBuilder.h"
#include "tools/ToolCommandLine.h"

namespace
{
const char kUsage[] =
    "Usage: zelk-mkmanifest ROOT OUTDIR [--serial N] [--sign PRIVATE]...\n"
    "Writes the repair manifest of the reference tree ROOT into the directory OUTDIR, for patchers\n"
    "that repair from a web server: OUTDIR/repair-manifest lists every file of ROOT with its size\n"
    "and the SHA-256 of each 4 MiB segment, OUTDIR/repair-blocks the SHA-256 of every 64 KiB block.\n"
    "Serve OUTDIR with ROOT's files below OUTDIR/files (make ROOT OUTDIR/files, or link it there).\n"
    "Linked directories are not followed, and the files of an installation (\"repair.cks\",\n"
    "\"repair.sha\", \"unins000.exe\", \"unins000.dat\", \"patch-journal.txt\" at the top) are left out.\n"
    "\n"
    "  --serial N      the manifest's serial (a decimal number): a patcher with a key refuses a\n"
    "                  manifest older than the newest it has taken, so raise it each time\n"
    "  --sign PRIVATE  write OUTDIR/repair-manifest.sig, signed with the Ed25519 private key\n"
    "                  PRIVATE (zelk-sign keygen); repeat it to sign with an old and a new key.\n"
    "                  Without it, an old repair-manifest.sig is removed\n"
    "  --help          show this text\n"
    "\n"
    "Exit status: 0 success, 1 wrong arguments, 2 the manifest could not be made.\n";
} // namespace

int main(int argc, char **argv)
{
    ToolCommandLine line("zelk-mkmanifest", kUsage, {"ROOT", "OUTDIR"});
    RepairManifestContents contents;
    line.Each("--serial", [&contents](const std::string &value) {
        if (!ParseDecimal(value, contents.serial))
            return "--serial wants a decimal number, got \"" + value + "\"";
        return std::string();
    });
    std::vector<std::string> keyFiles;
    line.Each("--sign", [&keyFiles](const std::string &value) {
        keyFiles.push_back(value);
        return std::string();
    });
    if (!line.Parse(argc, argv))
        return line.ExitStatus();

    std::string error;
    std::vector<PublisherSigningKey> keys;
    if (!LoadSigningKeyFiles(keyFiles, keys, contents.signers, error))
        return line.Failure(error);
    RepairManifestReport report;
    if (!WriteRepairManifest(NativeToPath(line.Operands()[0]), NativeToPath(line.Operands()[1]), contents, report,
                             error))
        return line.Failure(error);
    std::printf("zelk-mkmanifest: %zu files, %llu segments, %llu bytes, serial %llu%s\n", report.files,
                static_cast<unsigned long long>(report.segments), static_cast<unsigned long long>(report.bytes),
                static_cast<unsigned long long>(contents.serial), contents.signers.empty() ? "" : ", signed");
    return kToolExitSuccess;
}
