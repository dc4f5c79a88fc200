// A directory that the program acts on only beneath itself. An installation often belongs to an
// account other than the one the patcher runs as (root, after the elevation), and that account may
// change the tree while a run goes on: a link planted in it must never lead a write, a read or a
// deletion to a file outside. The object holds the directory open, so that a path swapped for
// another afterwards changes nothing, and every operation takes a name relative to it ('/' or '\'
// between the components) that is resolved beneath it:
// - a link that stays inside is followed, wherever it lies on the way;
// - an absolute name, a ".." that rises above the directory, an absolute link, and a link whose
//   target lies outside fail the operation with errno kNameLeadsOutside before anything is done;
// - the last component is acted on through the directory that holds it: removing or renaming a
//   link removes or renames the link itself, never what it points to.
// The directory itself is reached from "/" one component at a time, none of them opened through a
// link; a link on the way (the directory's own name included) is followed only when no account
// but root and the one the process runs as could have made or changed it: the link is owned by one
// of the two, and so is the directory that holds it, which neither its group nor others may write.
// For root that is root alone, the rule that secure shells and privilege tools apply to the paths
// they trust: an account that owns an installation cannot make root's run open another directory
// by swapping the installation's path, or a directory above it, for a link. A user's run follows
// the user's own links as well.
// What root creates beneath a directory that another account owns becomes that account's (owner
// and group of the directory), without write permission for group or others and without set-id
// bits, as the account's own run would have made it; everything else keeps the process's owner.
// Failures leave errno set as the platform's own calls do; an operation on an object whose
// directory could not be opened fails with errno EBADF. Every operation may be called from any
// thread.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kernel/DirectoryListing.h"
#include "kernel/ZelkTypes.h"

// errno of an operation whose name leads outside its directory.
constexpr int kNameLeadsOutside = EXDEV;
// errno of a directory not opened because a link on its path could be changed by another account.
constexpr int kLinkNotTrusted = ENOLINK;

class ConfinedDirectory
{
public:
    // How names are resolved. Automatic takes the kernel's own confinement where the kernel has it
    // and the component walk otherwise (also when ZELK_TEST_NO_OPENAT2 is set, so that whole-program
    // tests can run the walk); the other two are for the tests of both.
    enum class Resolution
    {
        Automatic,
        Kernel,        // the kernel resolves beneath the directory (openat2)
        ComponentWalk, // one component at a time, each opened without following a link
    };

    explicit ConfinedDirectory(const std::wstring &path, Resolution resolution = Resolution::Automatic);
    ~ConfinedDirectory();
    ConfinedDirectory(const ConfinedDirectory &) = delete;
    ConfinedDirectory &operator=(const ConfinedDirectory &) = delete;

    // False when the directory could not be opened (errno says why); nothing else works then.
    bool IsOpen() const { return m_descriptor >= 0; }
    const std::wstring &Path() const { return m_path; }
    // The path of the link the opening refused to follow (errno was kLinkNotTrusted); empty when
    // none was refused.
    const std::wstring &RefusedLink() const { return m_refusedLink; }
    // The path of a name below the directory, for messages and for programs handed a path.
    std::wstring PathOf(const std::wstring &name) const;
    // Kernel or ComponentWalk: what Automatic chose.
    Resolution ResolutionInUse() const { return m_resolution; }

    // Files ---------------------------------------------------------------------------------------

    // Opens a regular file with an fopen mode ("rb", "wb", "r+b", "ab", with or without "+"); the
    // stream is not inherited by child processes. Null for anything but a regular file (a
    // directory, a FIFO, a device), which is never waited on.
    FILE *OpenStdioFile(const std::wstring &name, const char *mode) const;
    // Reads the whole file, as ReadWholeFile of FileUtil.h does.
    ZELKRESULT ReadWholeFile(const std::wstring &name, std::string &bytes, uint64_t limit) const;
    // Copies a file from outside (sourcePath, opened as it is) to name, with overwrite; the copy
    // keeps the source's permission bits.
    bool CopyFileFrom(const std::wstring &sourcePath, const std::wstring &name) const;
    // Copies from one name to another beneath the directory, with overwrite and the same bits.
    bool CopyFile(const std::wstring &from, const std::wstring &to) const;
    // True when the existing regular file opens for reading and writing; nothing is changed.
    bool MayOpenForReadWrite(const std::wstring &name) const;

    // Names ---------------------------------------------------------------------------------------

    // Files and directories alike; false for a link whose target is missing or outside.
    bool Exists(const std::wstring &name) const;
    // The empty name is the directory itself.
    bool IsDirectory(const std::wstring &name) const;
    // Makes name and its missing parents. True when it is a directory afterwards; false (errno
    // EEXIST) when it names something else.
    bool MakeDirectory(const std::wstring &name) const;
    // Removes a file or a link; a read-only file is refused (errno EACCES), as on Windows.
    bool DeleteFile(const std::wstring &name) const;
    // Renames, replacing an existing destination. A rename between two file systems fails with
    // errno EOPNOTSUPP, so that kNameLeadsOutside keeps its one meaning.
    bool Rename(const std::wstring &from, const std::wstring &to) const;
    ZELKRESULT GetFileSize(const std::wstring &name, uint64_t &size) const;
    ZELKRESULT GetModifiedTime(const std::wstring &name, int64_t &seconds) const;
    // Permission bits (07777) of what name leads to.
    bool GetPermissions(const std::wstring &name, uint32_t &permissions) const;
    bool SetPermissions(const std::wstring &name, uint32_t permissions) const;
    // Read-only means: no write permission for the owner.
    bool IsReadOnly(const std::wstring &name) const;
    bool SetReadOnly(const std::wstring &name) const;
    bool ClearReadOnly(const std::wstring &name) const;
    // The entries of the directory name (the empty name: the directory itself), as
    // ListDirectoryEntries gives them; a link is described by its target when the target lies
    // inside, and is not known when it leads outside or nowhere.
    ZELKRESULT ListDirectory(const std::wstring &name, std::vector<DirectoryEntry> &entries) const;
    // The bytes free for the process on the directory's volume.
    bool GetFreeSpace(uint64_t &bytes) const;

private:
    friend class ReplacementFile;
    friend void RemoveAbandonedReplacements(const ConfinedDirectory &directory, const std::wstring &name);

    // The directory that holds the last component of name, opened beneath this one (a descriptor
    // the caller closes), and that component; -1 with errno on failure. With followLink, a last
    // component that is a link gives where the link leads instead. A name whose last component is
    // ".." (or none) gives the directory it names and ".".
    int OpenParent(const std::wstring &name, std::string &leaf, bool followLink) const;
    // Hands an entry the process has just created (opened as descriptor) to the directory's owner
    // when the process is root and the directory is another account's; does nothing otherwise.
    void HandOverCreated(int descriptor) const;

    std::wstring m_path;
    std::wstring m_refusedLink;
    int m_descriptor = -1;
    Resolution m_resolution = Resolution::Kernel;
    // Set when what the process creates beneath the directory goes to the directory's owner.
    bool m_handsOver = false;
    uint32_t m_ownerId = 0;
    uint32_t m_groupId = 0;
};
