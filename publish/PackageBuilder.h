// The publisher's side of a package: one step's archive made from the tree of the old version and
// the tree of the new one.
#pragma once

#include <cstddef>
#include <set>
#include <string>

struct PackageBuildSummary
{
    size_t added = 0;
    size_t deleted = 0;
    size_t patched = 0;
    size_t unchanged = 0;
};

// The installation's uninstall log differs from one installation to the next and is extended by
// the patcher itself, so a step never carries it.
extern const std::wstring kUninstallLogFileName;

// Compares the two trees file by file: files only in newDirectory are added (their whole content
// under "data\"), files only in oldDirectory are deleted, files whose content differs are patched
// (a JojoDiff difference under "data\" with ".diff" appended) and identical files are left out.
// Writes the archive with its directory records before their contents and the three lists last.
// False with problem set (naming the file at fault) when a tree cannot be read, a name cannot be
// carried by the archive or the lists, or a file cannot be written; no archive is left behind then.
// Files whose relative path ('/' separated) is in excluded are left out of both trees.
bool BuildPackageArchive(const std::wstring &oldDirectory, const std::wstring &newDirectory,
                         const std::wstring &archive, std::wstring &problem, PackageBuildSummary *summary = nullptr,
                         const std::set<std::wstring> &excluded = {});
