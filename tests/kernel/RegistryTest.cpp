#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "TestFiles.h"
#include "kernel/FileUtil.h"
#include "kernel/LockWait.h"
#include "kernel/Registry.h"
#include "kernel/TextConvert.h"
#include "kernel/ZelkTypes.h"

namespace
{
// Exit status of a forked child that ran body and left with its result.
int RunInChild(const std::function<int()> &body)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(body());
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
} // namespace

// Every test works on its own registry file in a directory that other accounts may enter.
class Registry : public testing::Test
{
protected:
    void SetUp() override
    {
        m_directory = m_temp.Path().string();
        chmod(m_directory.c_str(), 0755);
        m_file = m_directory + "/registry.reg";
        setenv("PELMO_REGISTRY", m_file.c_str(), 1);
    }

    void TearDown() override { unsetenv("PELMO_REGISTRY"); }

    void WriteFile(const std::string &content)
    {
        std::ofstream(m_file, std::ios::binary) << content;
    }

    testfiles::TempDirectory m_temp;
    std::string m_directory;
    std::string m_file;
};

TEST_F(Registry, FileNameComesFromTheEnvironment)
{
    EXPECT_EQ(RegistryFilePath(), NativeToPath(m_file));
    unsetenv("PELMO_REGISTRY");
    EXPECT_EQ(RegistryFilePath(), L"/var/lib/pelmo/registry.reg");
}

TEST_F(Registry, NamesMatchWithoutRegardToCase)
{
    WriteFile("Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\Korvil]\r\n"
              "\"Path\"=\"/opt/k\xC3\xB6rvil \\\"x\\\" \\\\y\"\r\n"
              "\"Version\"=dword:0000000A\r\n"
              "@=\"default\"\r\n");
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(L"software\\PELMO\\products\\KORVIL", false);
    ASSERT_TRUE(key);
    std::wstring text;
    EXPECT_TRUE(key->QueryString(L"PATH", text));
    EXPECT_EQ(text, L"/opt/k\u00f6rvil \"x\" \\y");
    uint32_t number = 0;
    EXPECT_TRUE(key->QueryDword(L"version", number));
    EXPECT_EQ(number, 10u);
    EXPECT_TRUE(key->QueryString(L"", text));
    EXPECT_EQ(text, L"default");

    // Wrong type, missing value and missing key.
    EXPECT_FALSE(key->QueryString(L"Version", text));
    EXPECT_FALSE(key->QueryDword(L"Path", number));
    EXPECT_FALSE(key->QueryString(L"Missing", text));
    EXPECT_FALSE(RegistryKey::Open(L"SOFTWARE\\Pelmo\\Products\\Other", false));
    // Parents of a section exist, as an import would have made them.
    EXPECT_TRUE(RegistryKey::Open(L"Software\\Pelmo", false));
}

TEST_F(Registry, ReadsTheEditorsUtf16Export)
{
    const std::wstring exported = L"Windows Registry Editor Version 5.00\r\n\r\n"
                                  L"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\K\u00f6rvil]\r\n"
                                  L"\"Path\"=\"C:\\\\Games\\\\K\u00f6rvil\"  \r\n";
    WriteFile("\xFF\xFE" + EncodeUtf16LE(exported));
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(L"SOFTWARE\\Pelmo\\Products\\K\u00f6rvil", false);
    ASSERT_TRUE(key);
    std::wstring text;
    EXPECT_TRUE(key->QueryString(L"path", text));
    EXPECT_EQ(text, L"C:\\Games\\K\u00f6rvil");
}

TEST_F(Registry, SubKeysEnumerateInFileOrder)
{
    WriteFile("Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\Zeta]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\Alpha]\n\n"
              "[HKEY_CURRENT_USER\\SOFTWARE\\Pelmo\\Products\\OtherRoot]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\Mid]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\ALPHA\\Sub]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\Beta\\Deep]\n");
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(L"SOFTWARE\\Pelmo\\Products", false);
    ASSERT_TRUE(key);
    std::vector<std::wstring> names;
    std::wstring name;
    for (uint32_t index = 0; key->EnumSubKey(index, name); ++index)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"Zeta", L"Alpha", L"Mid", L"Beta"}));
    EXPECT_FALSE(key->EnumSubKey(4, name));
}

TEST_F(Registry, MissingFileIsAnEmptyRegistry)
{
    EXPECT_FALSE(RegistryKey::Open(L"SOFTWARE", false));
    std::unique_ptr<RegistryKey> root = RegistryKey::Open(L"", false);
    ASSERT_TRUE(root);
    std::wstring name;
    EXPECT_FALSE(root->EnumSubKey(0, name));

    ASSERT_TRUE(RegistryKey::CreateKey(L"SOFTWARE\\Pelmo\\Products"));
    EXPECT_EQ(testfiles::ReadFile(m_file), "Windows Registry Editor Version 5.00\n\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products]\n\n");
    EXPECT_TRUE(RegistryKey::Open(L"SOFTWARE\\Pelmo\\Products", true));

    // Creating what exists leaves the file as it is.
    struct stat before;
    ASSERT_EQ(stat(m_file.c_str(), &before), 0);
    EXPECT_TRUE(RegistryKey::CreateKey(L"software\\pelmo"));
    struct stat after;
    ASSERT_EQ(stat(m_file.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
}

TEST_F(Registry, ChangesKeepUnknownLinesAndEscapeTexts)
{
    WriteFile("Windows Registry Editor Version 5.00\n"
              "; kept comment\n\n"
              "[HKEY_CURRENT_USER\\Software\\Other]\n"
              "\"Keep\"=\"me\"\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n"
              "\"Multi\"=hex(7):61,00,00,00,\\\n"
              "  00,00\n"
              "\"Old\"=\"value\"\n\n");
    std::unique_ptr<RegistryKey> pelmo = RegistryKey::Open(L"SOFTWARE\\Pelmo", true);
    ASSERT_TRUE(pelmo);
    EXPECT_TRUE(pelmo->SetString(L"OLD", L"new \"q\" C:\\d"));
    EXPECT_TRUE(pelmo->SetDword(L"Count", 0xA));
    EXPECT_TRUE(pelmo->SetDword(L"Gone", 1));
    EXPECT_TRUE(pelmo->DeleteValue(L"gone"));
    EXPECT_FALSE(pelmo->DeleteValue(L"gone"));

    ASSERT_TRUE(RegistryKey::CreateKey(L"SOFTWARE\\Pelmo\\Products\\Korvil"));
    std::unique_ptr<RegistryKey> korvil = RegistryKey::Open(L"SOFTWARE\\Pelmo\\Products\\Korvil", true);
    ASSERT_TRUE(korvil);
    EXPECT_TRUE(korvil->SetString(L"Path", L"/opt/k\u00f6rvil"));
    // A line break cannot stand in a quoted text; it is stored in the editor's hex form.
    EXPECT_TRUE(korvil->SetString(L"Notes", L"two\nlines"));

    EXPECT_EQ(testfiles::ReadFile(m_file), "Windows Registry Editor Version 5.00\n"
                                "; kept comment\n\n"
                                "[HKEY_CURRENT_USER\\Software\\Other]\n"
                                "\"Keep\"=\"me\"\n\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n"
                                "\"Multi\"=hex(7):61,00,00,00,\\\n"
                                "  00,00\n"
                                "\"Old\"=\"new \\\"q\\\" C:\\\\d\"\n"
                                "\"Count\"=dword:0000000a\n\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products]\n\n"
                                "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\Products\\Korvil]\n"
                                "\"Path\"=\"/opt/k\xC3\xB6rvil\"\n"
                                "\"Notes\"=hex(1):74,00,77,00,6f,00,0a,00,6c,00,69,00,6e,00,65,00,73,00,00,00\n\n");

    std::unique_ptr<RegistryKey> reader = RegistryKey::Open(L"SOFTWARE\\Pelmo\\Products\\Korvil", false);
    ASSERT_TRUE(reader);
    std::wstring text;
    EXPECT_TRUE(reader->QueryString(L"notes", text));
    EXPECT_EQ(text, L"two\nlines");
    EXPECT_TRUE(reader->QueryString(L"path", text));
    EXPECT_EQ(text, L"/opt/k\u00f6rvil");
    // A key opened for reading changes nothing.
    EXPECT_FALSE(reader->SetString(L"Path", L"x"));
    EXPECT_FALSE(reader->SetDword(L"Count", 1));
    EXPECT_FALSE(reader->DeleteValue(L"Path"));
    EXPECT_TRUE(reader->QueryString(L"path", text));
    EXPECT_EQ(text, L"/opt/k\u00f6rvil");
}

// What a change writes reads back as written, from files this program did not write itself: a
// value added behind a last line that ends in a backslash is not taken for its continuation, and a
// file whose byte-order mark is followed by FF FE keeps its mark, so it is not read as UTF-16 next
// time. Each change is made twice: the second must find the first, not add another copy.
TEST_F(Registry, ChangesReadBackAsWritten)
{
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo\\T]\n";
    const struct
    {
        const char *what;
        std::string file;
    } cases[] = {
        {"last line ends in a backslash", "Windows Registry Editor Version 5.00\n\n" + key + "\"A\"=\"1\"\n\"Odd\"=hex:00,\\\n"},
        {"byte-order mark before FF FE", "\xEF\xBB\xBF\xFF\xFE\n" + key + "\"A\"=\"1\"\n"},
    };
    for (const auto &test : cases)
    {
        SCOPED_TRACE(test.what);
        WriteFile(test.file);
        for (const wchar_t *value : {L"first", L"second"})
        {
            std::unique_ptr<RegistryKey> writer = RegistryKey::Open(L"SOFTWARE\\Pelmo\\T", true);
            ASSERT_TRUE(writer);
            ASSERT_TRUE(writer->SetString(L"New", value));
            std::unique_ptr<RegistryKey> reader = RegistryKey::Open(L"SOFTWARE\\Pelmo\\T", false);
            ASSERT_TRUE(reader);
            std::wstring text;
            EXPECT_TRUE(reader->QueryString(L"New", text));
            EXPECT_EQ(text, value);
            EXPECT_TRUE(reader->QueryString(L"A", text));
            EXPECT_EQ(text, L"1");
        }
        const std::string written = testfiles::ReadFile(m_file);
        EXPECT_EQ(written.find("\"New\""), written.rfind("\"New\"")) << written;
        EXPECT_EQ(written.compare(0, 3, test.file, 0, 3), 0) << "the file starts as it did";
    }
}

// Values that another editor left with bytes that are not well-formed UTF-8, or that hold a
// byte-order mark inside: what is read from the file is what a write of it reads back, in the quoted
// form and in the hex form that a line break needs.
TEST_F(Registry, TextsOfAnyBytesReadBackAsWritten)
{
    const struct
    {
        const char *what;
        std::string bytes;
    } cases[] = {
        {"encoded surrogate", "\xED\xBB\xBF"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80"},
        {"overlong slash", "a\xC0\xAF"},
        {"byte-order mark inside", "a\xEF\xBB\xBF" "b"},
    };
    for (const auto &test : cases)
    {
        for (const std::string &bytes : {test.bytes, test.bytes + "\n"})
        {
            SCOPED_TRACE(test.what + std::string(bytes.back() == '\n' ? " with a line break" : ""));
            WriteFile("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"Old\"=\"" +
                      test.bytes + "\"\n");
            std::unique_ptr<RegistryKey> key = RegistryKey::Open(L"SOFTWARE\\Pelmo", true);
            ASSERT_TRUE(key);
            std::wstring old;
            ASSERT_TRUE(key->QueryString(L"Old", old));
            const std::wstring text = NativeToPath(bytes);
            ASSERT_TRUE(key->SetString(L"Old", old));
            ASSERT_TRUE(key->SetString(L"New", text));
            std::wstring readBack;
            EXPECT_TRUE(key->QueryString(L"Old", readBack));
            EXPECT_EQ(readBack, old);
            EXPECT_TRUE(key->QueryString(L"New", readBack));
            EXPECT_EQ(readBack, text);
        }
    }

    // A text that holds no Unicode character where one should be has no form in the file: the
    // write is refused, not stored as something else.
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(L"SOFTWARE\\Pelmo", true);
    ASSERT_TRUE(key);
    const std::string before = testfiles::ReadFile(m_file);
    for (const wchar_t odd : {wchar_t(0xDEFF), wchar_t(0xD800), wchar_t(0x110000)})
    {
        SCOPED_TRACE(static_cast<uint32_t>(odd));
        EXPECT_FALSE(key->SetString(L"Odd", std::wstring(L"a") + odd));
        EXPECT_FALSE(key->SetString(L"Odd", std::wstring(L"a\n") + odd));
        EXPECT_FALSE(key->SetDword(std::wstring(L"Odd") + odd, 1));
        EXPECT_FALSE(RegistryKey::CreateKey(std::wstring(L"SOFTWARE\\Pelmo\\Odd") + odd));
    }
    EXPECT_EQ(testfiles::ReadFile(m_file), before);
}

TEST_F(Registry, WriterKilledDuringSaveLeavesTheOldFileWhole)
{
    ASSERT_TRUE(RegistryKey::CreateKey(L"SOFTWARE\\Pelmo"));
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(L"SOFTWARE\\Pelmo", true);
    ASSERT_TRUE(key);
    ASSERT_TRUE(key->SetString(L"Marker", L"kept"));
    constexpr size_t kBigSize = 1 << 20;
    ASSERT_TRUE(key->SetString(L"Big", std::wstring(kBigSize, L'a')));
    const std::string before = testfiles::ReadFile(m_file);

    // The file size limit kills the writer (SIGXFSZ) after it has written so many bytes of its
    // save: nothing, half, all but the last byte.
    for (const rlim_t limit : {rlim_t(0), rlim_t(before.size() / 2), rlim_t(before.size() - 1)})
    {
        SCOPED_TRACE(limit);
        const pid_t child = fork();
        if (child == 0)
        {
            signal(SIGXFSZ, SIG_DFL);
            const rlimit fileSize{limit, limit};
            setrlimit(RLIMIT_FSIZE, &fileSize);
            key->SetString(L"Big", std::wstring(kBigSize, L'b'));
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), SIGXFSZ);

        EXPECT_EQ(testfiles::ReadFile(m_file), before);
        std::unique_ptr<RegistryKey> reader = RegistryKey::Open(L"SOFTWARE\\Pelmo", false);
        ASSERT_TRUE(reader);
        std::wstring text;
        EXPECT_TRUE(reader->QueryString(L"Marker", text));
        EXPECT_EQ(text, L"kept");
    }
    // The lock died with its holder, and the next save clears away what the writer left.
    ASSERT_TRUE(key->SetString(L"Big", L"small"));
    std::wstring text;
    EXPECT_TRUE(key->QueryString(L"Big", text));
    EXPECT_EQ(text, L"small");
    std::set<std::wstring> entries;
    ListDirectory(NativeToPath(m_directory), entries);
    EXPECT_EQ(entries, (std::set<std::wstring>{NativeToPath(m_file), NativeToPath(m_file + ".lock")}));
}

TEST_F(Registry, ConcurrentWritersLoseNoChange)
{
    ASSERT_TRUE(RegistryKey::CreateKey(L"SOFTWARE\\Pelmo"));
    std::vector<pid_t> children;
    for (const wchar_t *prefix : {L"A", L"B", L"C"})
    {
        const pid_t child = fork();
        if (child == 0)
        {
            std::unique_ptr<RegistryKey> key = RegistryKey::Open(L"SOFTWARE\\Pelmo", true);
            for (uint32_t i = 0; key && i < 30; ++i)
            {
                if (!key->SetDword(prefix + std::to_wstring(i), i))
                    _exit(1);
            }
            _exit(key ? 0 : 1);
        }
        children.push_back(child);
    }
    for (pid_t child : children)
    {
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::unique_ptr<RegistryKey> key = RegistryKey::Open(L"SOFTWARE\\Pelmo", false);
    ASSERT_TRUE(key);
    for (const wchar_t *prefix : {L"A", L"B", L"C"})
    {
        for (uint32_t i = 0; i < 30; ++i)
        {
            uint32_t value = 99;
            EXPECT_TRUE(key->QueryDword(prefix + std::to_wstring(i), value)) << i;
            EXPECT_EQ(value, i);
        }
    }
}

TEST_F(Registry, WritingIsRefusedToAUserWhoMayNotWriteTheFile)
{
    ASSERT_EQ(geteuid(), 0u) << "this test switches to the account nobody and needs root";
    ASSERT_TRUE(RegistryKey::CreateKey(L"SOFTWARE\\Pelmo"));
    chmod(m_file.c_str(), 0644);
    const passwd *nobody = getpwnam("nobody");
    ASSERT_TRUE(nobody);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    // Bits of the child's exit status: 1 read refused, 2 write allowed, 4 key created, 8 a value set.
    const int result = RunInChild([&] {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            return 64;
        int bits = 0;
        if (!RegistryKey::Open(L"SOFTWARE\\Pelmo", false))
            bits |= 1;
        if (RegistryKey::Open(L"SOFTWARE\\Pelmo", true))
            bits |= 2;
        if (RegistryKey::CreateKey(L"SOFTWARE\\Pelmo\\Intruder"))
            bits |= 4;
        return bits;
    });
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(RegistryKey::Open(L"SOFTWARE\\Pelmo\\Intruder", false));

    // Where the account may write, it may open for write.
    chown(m_directory.c_str(), uid, gid);
    chown(m_file.c_str(), uid, gid);
    const int allowed = RunInChild([&] {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            return 64;
        std::unique_ptr<RegistryKey> key = RegistryKey::Open(L"SOFTWARE\\Pelmo", true);
        return key && key->SetDword(L"ByNobody", 1) ? 8 : 0;
    });
    EXPECT_EQ(allowed, 8);
}

// A caller that must never take an unreadable registry for a missing value can tell them apart.
TEST_F(Registry, TextValueStatesTellMissingFromUnreadable)
{
    struct Case
    {
        const char *name;
        std::string content; // null-free text of the file; "<dir>" makes the path a directory
        RegistryValueState state;
        std::wstring value;
    };
    const std::string header = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n";
    const Case cases[] = {
        {"no file", "", RegistryValueState::Missing, L""},
        {"no value", header + "\"Other\"=\"x\"\n", RegistryValueState::Missing, L""},
        {"text", header + "\"publisherKEY\"=\"abc\"\n", RegistryValueState::Text, L"abc"},
        {"empty text", header + "\"PublisherKey\"=\"\"\n", RegistryValueState::Text, L""},
        {"dword", header + "\"PublisherKey\"=dword:00000001\n", RegistryValueState::OtherType, L""},
        {"unreadable value", header + "\"PublisherKey\"=hex:zz\n", RegistryValueState::OtherType, L""},
        {"unreadable file", "<dir>", RegistryValueState::Unreadable, L""},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        DeleteTree(NativeToPath(m_file));
        DeleteFileAt(NativeToPath(m_file));
        if (c.content == "<dir>")
            ASSERT_TRUE(MakeDirectory(NativeToPath(m_file)));
        else if (!c.content.empty())
            WriteFile(c.content);
        std::wstring value;
        EXPECT_EQ(QueryRegistryText(L"Software\\Pelmo", L"PublisherKey", value), c.state);
        EXPECT_EQ(value, c.value);
    }
}

// Whoever can open the lock file can hold it: it is made for its owner alone, and a lock held by
// someone else costs a writer the deadline, or nothing once the run is cancelled.
TEST_F(Registry, HeldLockEndsTheWaitAtTheDeadlineOrOnCancel)
{
    ASSERT_TRUE(RegistryKey::CreateKey(L"SOFTWARE\\Pelmo"));
    const std::string lockPath = m_file + ".lock";
    struct stat info;
    ASSERT_EQ(stat(lockPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);

    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0)
    {
        const int fd = open(lockPath.c_str(), O_RDONLY);
        flock(fd, LOCK_EX);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);

    struct CancellingRun : ReportHooks
    {
        void MessageHook(MessageLevel, const std::wstring &) override {}
        void ProgressBeginHook(unsigned) override {}
        bool ProgressStepHook() override { return false; }
        bool CancelRequested() override { return true; }
    } cancelling;
    setenv(kLockWaitDeadlineOverride, "200", 1);
    for (const bool cancelled : {false, true})
    {
        SCOPED_TRACE(cancelled);
        std::unique_ptr<ScopedPatchHooks> hooks;
        if (cancelled)
            hooks = std::make_unique<ScopedPatchHooks>(cancelling);
        EXPECT_FALSE(RegistryKey::CreateKey(L"SOFTWARE\\Pelmo\\Blocked"));
        EXPECT_EQ(LastLockWaitResult(), cancelled ? LockWaitResult::Cancelled : LockWaitResult::TimedOut);
    }
    unsetenv(kLockWaitDeadlineOverride);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    EXPECT_TRUE(RegistryKey::CreateKey(L"SOFTWARE\\Pelmo\\Blocked"));
    EXPECT_EQ(LastLockWaitResult(), LockWaitResult::Taken);
}
