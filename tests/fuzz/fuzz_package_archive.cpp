// A package archive as it arrives from a download: unpacked, then installed into a small
// installation. Whatever the archive holds, nothing may be written outside the run's directory.
#include <string>

#include "FuzzSupport.h"
#include "kernel/TextConvert.h"
#include "patch/PackageArchive.h"
#include "patch/PackageInstall.h"

namespace
{
void MakeInstallation(const fuzz::fs::path &root)
{
    fuzz::fs::create_directories(root / "bin");
    fuzz::fs::create_directories(root / "data/sub");
    fuzz::WriteBytes(root / "bin/Launcher.exe", "launcher 100", 12);
    fuzz::WriteBytes(root / "data/readme.txt", "old text\n", 9);
    fuzz::WriteBytes(root / "data/sub/values.dat", "\x01\x02\x03", 3);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static fuzz::Workspace workspace("archive");
    const fuzz::fs::path run = workspace.Fresh();
    // Everything the run may touch lies in "inside"; "run" itself must stay as it is.
    const fuzz::fs::path inside = run / "inside";
    const fuzz::fs::path archive = inside / "step.zip";
    const fuzz::fs::path package = inside / "package";
    const fuzz::fs::path installation = inside / "install";
    fuzz::fs::create_directories(package);
    MakeInstallation(installation);
    fuzz::WriteBytes(archive, data, size);

    if (UnpackPackageArchive(NativeToPath(archive.string()), NativeToPath(package.string())))
        InstallPackage(NativeToPath(installation.string()), NativeToPath(package.string()), L"Launcher.exe");

    for (const fuzz::fs::directory_entry &entry : fuzz::fs::directory_iterator(run))
        fuzz::Check(entry.path() == inside, "a name left its directory:", entry.path().string());
    return 0;
}
