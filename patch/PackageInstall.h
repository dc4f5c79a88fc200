// Applying an unpacked package to an installation: files are added from the package's "data"
// tree, deleted, and patched by the installation's own patch tool after their MD5 digests have
// been checked against the lists. Every problem is reported through the hooks and counted; what
// was done for other entries stays done.
#pragma once

#include <string>
#include <vector>

class ConfinedDirectory;

// One three-line record of a list file. Paths use "\" as in the lists.
struct PackageEntry
{
    std::wstring path;
    std::string newChecksum;
    std::string oldChecksum;
};

// The patch tool inside the installation, relative to it.
extern const std::wstring kPatchToolPath;

// Reads the three lists of package as InstallPackage does and reports the first that cannot be
// used, without touching any installation: a run checks a package so before it marks the
// installation as being patched, and a damaged package then changes nothing at all.
bool CheckPackageLists(const std::wstring &package);

// Reads the three lists of package and applies them to installation. The first patched record
// whose path contains launcherName (when not empty) is applied last, so that the installed build
// still identifies as the old one until everything else is done. True when every entry succeeded.
bool InstallPackage(const std::wstring &installation, const std::wstring &package, const std::wstring &launcherName);
// The same on an installation already held open: every file of it is changed only beneath it, and
// an entry whose name leads outside (a link planted in the installation) fails by name.
bool InstallPackage(const ConfinedDirectory &installation, const std::wstring &package,
                    const std::wstring &launcherName);

// The installation a package is applied to, and the unpacked package.
struct PackageTarget
{
    const ConfinedDirectory &installation;
    std::wstring package;
};

// The three steps of InstallPackage.
bool AddListedFiles(const PackageTarget &directories, const std::vector<PackageEntry> &entries);
bool DeleteListedFiles(const PackageTarget &directories, const std::vector<PackageEntry> &entries);
bool PatchListedFiles(const PackageTarget &directories, const std::vector<PackageEntry> &entries);

// The added files of package (only path filled), for the uninstall log. Entries that would lead
// outside the installation are left out, since they were never installed.
std::vector<PackageEntry> ReadAddedFileList(const std::wstring &package);

// Splits list text into records: any line end, a final partial record padded with empty fields,
// trailing empty lines ignored.
std::vector<PackageEntry> ParsePackageList(const std::string &text);
