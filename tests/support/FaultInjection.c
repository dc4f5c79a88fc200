/* A preload library that makes one file operation of a run fail, for the whole-program tests.
 *
 * Every process of the run (the patcher, the patch tool, the utility) counts the file operations
 * it makes on the paths that matter in one counter shared through a file, and the operation whose
 * number is ZELK_FAULT_AT fails with ZELK_FAULT_ERRNO instead of being made. The environment:
 *
 *   ZELK_FAULT_COUNTER  a file of at least 8 bytes holding the shared count (required; without it
 *                       nothing is counted or failed)
 *   ZELK_FAULT_AT       the number of the operation that fails; 0 or unset: none
 *   ZELK_FAULT_ERRNO    ENOSPC, EIO or EACCES (default EIO)
 *   ZELK_FAULT_PATHS    ':'-separated path prefixes; only operations on paths that begin with one
 *                       of them count (default: every path)
 *   ZELK_FAULT_SUFFIX   only paths that also end with this text count (default: any)
 *   ZELK_FAULT_OPS      ','-separated kinds that count: open, write, fsync, rename, unlink, mkdir
 *                       (default: all of them)
 *   ZELK_FAULT_LOG      a file that gets one line per counted operation: its number, kind and
 *                       path, and "FAULT" on the one that failed
 *
 * "open" counts only opens that may change a file (for writing, creating or truncating): reading
 * is never failed, since what goes wrong when a file cannot be changed is what these runs look
 * for. Operations on a descriptor or a stream (write, fsync) are matched by the path it was opened
 * with, read back from /proc/self/fd.
 */
#define _GNU_SOURCE
/* Both the plain and the 64-bit names are defined here, so neither may stand for the other. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

enum
{
    kOpen = 1 << 0,
    kWrite = 1 << 1,
    kFsync = 1 << 2,
    kRename = 1 << 3,
    kUnlink = 1 << 4,
    kMkdir = 1 << 5,
    kMaxPrefixes = 16,
};

static const struct
{
    const char *name;
    unsigned kind;
} kKinds[] = {{"open", kOpen},     {"write", kWrite},   {"fsync", kFsync},
              {"rename", kRename}, {"unlink", kUnlink}, {"mkdir", kMkdir}};

static volatile int64_t *g_counter;
static int64_t g_faultAt;
static int g_errno = EIO;
static unsigned g_kinds = ~0u;
static char *g_prefixes[kMaxPrefixes];
static int g_prefixCount;
static const char *g_suffix;
static int g_logFd = -1;
static __thread int g_inside;

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int ErrnoByName(const char *name)
{
    if (!name)
        return EIO;
    if (strcmp(name, "ENOSPC") == 0)
        return ENOSPC;
    if (strcmp(name, "EACCES") == 0)
        return EACCES;
    return EIO;
}

__attribute__((constructor)) static void Initialise(void)
{
    const char *counter = getenv("ZELK_FAULT_COUNTER");
    if (!counter)
        return;
    const int fd = (int)syscall(SYS_openat, AT_FDCWD, counter, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    void *mapped = mmap(NULL, sizeof(int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED)
        return;
    const char *at = getenv("ZELK_FAULT_AT");
    g_faultAt = at ? strtoll(at, NULL, 10) : 0;
    g_errno = ErrnoByName(getenv("ZELK_FAULT_ERRNO"));
    const char *kinds = getenv("ZELK_FAULT_OPS");
    if (kinds)
    {
        g_kinds = 0;
        for (size_t i = 0; i < sizeof kKinds / sizeof kKinds[0]; ++i)
            if (strstr(kinds, kKinds[i].name))
                g_kinds |= kKinds[i].kind;
    }
    const char *paths = getenv("ZELK_FAULT_PATHS");
    if (paths)
    {
        char *copy = strdup(paths);
        for (char *save = NULL, *p = strtok_r(copy, ":", &save); p && g_prefixCount < kMaxPrefixes;
             p = strtok_r(NULL, ":", &save))
            g_prefixes[g_prefixCount++] = p;
    }
    g_suffix = getenv("ZELK_FAULT_SUFFIX");
    const char *log = getenv("ZELK_FAULT_LOG");
    if (log)
        g_logFd = (int)syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    g_counter = mapped;
}

static int Matches(const char *path)
{
    if (g_suffix)
    {
        const size_t length = strlen(path);
        const size_t suffixLength = strlen(g_suffix);
        if (length < suffixLength || strcmp(path + length - suffixLength, g_suffix) != 0)
            return 0;
    }
    if (g_prefixCount == 0)
        return 1;
    for (int i = 0; i < g_prefixCount; ++i)
        if (strncmp(path, g_prefixes[i], strlen(g_prefixes[i])) == 0)
            return 1;
    return 0;
}

static void AbsolutePath(int directoryFd, const char *path, char *out, size_t size)
{
    if (path[0] == '/')
    {
        snprintf(out, size, "%s", path);
        return;
    }
    char base[PATH_MAX] = "";
    if (directoryFd == AT_FDCWD)
    {
        if (!getcwd(base, sizeof base))
            base[0] = 0;
    }
    else
    {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", directoryFd);
        const ssize_t length = readlink(link, base, sizeof base - 1);
        base[length > 0 ? length : 0] = 0;
    }
    snprintf(out, size, "%s/%s", base, path);
}

static int PathOfDescriptor(int fd, char *out, size_t size)
{
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, out, size - 1);
    if (length <= 0)
        return 0;
    out[length] = 0;
    return 1;
}

static void Log(int64_t number, const char *kind, const char *path, int failed)
{
    if (g_logFd < 0)
        return;
    char line[PATH_MAX + 64];
    const int length = snprintf(line, sizeof line, "%lld %s %s%s\n", (long long)number, kind, path,
                                failed ? " FAULT" : "");
    if (length > 0)
        (void)!syscall(SYS_write, g_logFd, line, (size_t)(length < (int)sizeof line ? length : (int)sizeof line - 1));
}

/* Counts one operation of a kind on an absolute path; true when it is the one to fail. */
static int CountAndDecide(unsigned kind, const char *kindName, const char *path)
{
    if (!g_counter || g_inside || !(g_kinds & kind) || !Matches(path))
        return 0;
    const int64_t number = __atomic_add_fetch(g_counter, 1, __ATOMIC_SEQ_CST);
    const int failed = number == g_faultAt;
    Log(number, kindName, path, failed);
    return failed;
}

static int FailsAt(int directoryFd, const char *path, unsigned kind, const char *kindName)
{
    if (!g_counter || g_inside || !path)
        return 0;
    char absolute[PATH_MAX];
    AbsolutePath(directoryFd, path, absolute, sizeof absolute);
    return CountAndDecide(kind, kindName, absolute);
}

static int FailsOn(int fd, unsigned kind, const char *kindName)
{
    if (!g_counter || g_inside || !(g_kinds & kind))
        return 0;
    char path[PATH_MAX];
    struct stat info;
    /* Pipes, terminals and sockets are not files of the run. */
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || !PathOfDescriptor(fd, path, sizeof path))
        return 0;
    return CountAndDecide(kind, kindName, path);
}

/* Opening ------------------------------------------------------------------------------------- */

static int Changes(int flags)
{
    return (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_TMPFILE));
}

static int StreamChanges(const char *mode)
{
    return strpbrk(mode, "wa+") != NULL;
}

static mode_t ModeOf(int flags, va_list arguments)
{
    return (flags & (O_CREAT | O_TMPFILE)) ? (mode_t)va_arg(arguments, int) : 0;
}

#define FAIL_WITH(value)                                                                                              \
    do                                                                                                                \
    {                                                                                                                 \
        errno = g_errno;                                                                                              \
        return value;                                                                                                 \
    } while (0)

int open(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    if (Changes(flags) && FailsAt(AT_FDCWD, path, kOpen, "open"))
        FAIL_WITH(-1);
    return REAL(open)(path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    if (Changes(flags) && FailsAt(AT_FDCWD, path, kOpen, "open"))
        FAIL_WITH(-1);
    return REAL(open64)(path, flags, mode);
}

int openat(int directoryFd, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    if (Changes(flags) && FailsAt(directoryFd, path, kOpen, "open"))
        FAIL_WITH(-1);
    return REAL(openat)(directoryFd, path, flags, mode);
}

int openat64(int directoryFd, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = ModeOf(flags, arguments);
    va_end(arguments);
    if (Changes(flags) && FailsAt(directoryFd, path, kOpen, "open"))
        FAIL_WITH(-1);
    return REAL(openat64)(directoryFd, path, flags, mode);
}

int creat(const char *path, mode_t mode)
{
    if (FailsAt(AT_FDCWD, path, kOpen, "open"))
        FAIL_WITH(-1);
    return REAL(creat)(path, mode);
}

FILE *fopen(const char *path, const char *mode)
{
    if (StreamChanges(mode) && FailsAt(AT_FDCWD, path, kOpen, "open"))
        FAIL_WITH(NULL);
    ++g_inside;
    FILE *file = REAL(fopen)(path, mode);
    --g_inside;
    return file;
}

FILE *fopen64(const char *path, const char *mode)
{
    if (StreamChanges(mode) && FailsAt(AT_FDCWD, path, kOpen, "open"))
        FAIL_WITH(NULL);
    ++g_inside;
    FILE *file = REAL(fopen64)(path, mode);
    --g_inside;
    return file;
}

int mkostemp(char *pattern, int flags)
{
    if (FailsAt(AT_FDCWD, pattern, kOpen, "open"))
        FAIL_WITH(-1);
    return REAL(mkostemp)(pattern, flags);
}

int mkstemp(char *pattern)
{
    if (FailsAt(AT_FDCWD, pattern, kOpen, "open"))
        FAIL_WITH(-1);
    return REAL(mkstemp)(pattern);
}

/* Writing -------------------------------------------------------------------------------------- */

ssize_t write(int fd, const void *data, size_t size)
{
    if (FailsOn(fd, kWrite, "write"))
        FAIL_WITH(-1);
    return REAL(write)(fd, data, size);
}

ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    if (FailsOn(fd, kWrite, "write"))
        FAIL_WITH(-1);
    return REAL(pwrite)(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void *data, size_t size, off_t offset)
{
    if (FailsOn(fd, kWrite, "write"))
        FAIL_WITH(-1);
    return REAL(pwrite64)(fd, data, size, offset);
}

ssize_t writev(int fd, const struct iovec *vector, int count)
{
    if (FailsOn(fd, kWrite, "write"))
        FAIL_WITH(-1);
    return REAL(writev)(fd, vector, count);
}

ssize_t copy_file_range(int in, off_t *inOffset, int out, off_t *outOffset, size_t size, unsigned flags)
{
    if (FailsOn(out, kWrite, "write"))
        FAIL_WITH(-1);
    return REAL(copy_file_range)(in, inOffset, out, outOffset, size, flags);
}

ssize_t sendfile(int out, int in, off_t *offset, size_t size)
{
    if (FailsOn(out, kWrite, "write"))
        FAIL_WITH(-1);
    return REAL(sendfile)(out, in, offset, size);
}

/* A stream's bytes reach the file through libc's own write, which cannot be interposed: the
 * stream calls that write count instead, and a failed one marks the stream as failed. */
static int StreamFails(FILE *stream)
{
    return stream && FailsOn(fileno(stream), kWrite, "write");
}

size_t fwrite(const void *data, size_t size, size_t count, FILE *stream)
{
    if (size && count && StreamFails(stream))
    {
        stream->_flags |= 0x20; /* _IO_ERR_SEEN: ferror reports it */
        FAIL_WITH(0);
    }
    return REAL(fwrite)(data, size, count, stream);
}

int fputs(const char *text, FILE *stream)
{
    if (StreamFails(stream))
    {
        stream->_flags |= 0x20;
        FAIL_WITH(EOF);
    }
    return REAL(fputs)(text, stream);
}

int fflush(FILE *stream)
{
    if (StreamFails(stream))
    {
        stream->_flags |= 0x20;
        FAIL_WITH(EOF);
    }
    return REAL(fflush)(stream);
}

int fclose(FILE *stream)
{
    /* Buffered bytes are written on closing; a stream only read from has none to lose. */
    const int writable = stream && (fcntl(fileno(stream), F_GETFL) & O_ACCMODE) != O_RDONLY;
    if (writable && StreamFails(stream))
    {
        REAL(fclose)(stream);
        FAIL_WITH(EOF);
    }
    return REAL(fclose)(stream);
}

/* Syncing, renaming, removing, making directories ---------------------------------------------- */

int fsync(int fd)
{
    if (FailsOn(fd, kFsync, "fsync"))
        FAIL_WITH(-1);
    return REAL(fsync)(fd);
}

int fdatasync(int fd)
{
    if (FailsOn(fd, kFsync, "fsync"))
        FAIL_WITH(-1);
    return REAL(fdatasync)(fd);
}

int rename(const char *from, const char *to)
{
    if (FailsAt(AT_FDCWD, from, kRename, "rename"))
        FAIL_WITH(-1);
    return REAL(rename)(from, to);
}

int renameat(int fromDirectory, const char *from, int toDirectory, const char *to)
{
    if (FailsAt(fromDirectory, from, kRename, "rename"))
        FAIL_WITH(-1);
    return REAL(renameat)(fromDirectory, from, toDirectory, to);
}

int unlink(const char *path)
{
    if (FailsAt(AT_FDCWD, path, kUnlink, "unlink"))
        FAIL_WITH(-1);
    return REAL(unlink)(path);
}

int unlinkat(int directoryFd, const char *path, int flags)
{
    if (FailsAt(directoryFd, path, kUnlink, "unlink"))
        FAIL_WITH(-1);
    return REAL(unlinkat)(directoryFd, path, flags);
}

int rmdir(const char *path)
{
    if (FailsAt(AT_FDCWD, path, kUnlink, "unlink"))
        FAIL_WITH(-1);
    return REAL(rmdir)(path);
}

int remove(const char *path)
{
    if (FailsAt(AT_FDCWD, path, kUnlink, "unlink"))
        FAIL_WITH(-1);
    ++g_inside;
    const int result = REAL(remove)(path);
    --g_inside;
    return result;
}

int mkdir(const char *path, mode_t mode)
{
    if (FailsAt(AT_FDCWD, path, kMkdir, "mkdir"))
        FAIL_WITH(-1);
    return REAL(mkdir)(path, mode);
}

int mkdirat(int directoryFd, const char *path, mode_t mode)
{
    if (FailsAt(directoryFd, path, kMkdir, "mkdir"))
        FAIL_WITH(-1);
    return REAL(mkdirat)(directoryFd, path, mode);
}
