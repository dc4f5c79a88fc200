// The built patcher run unattended under each locale: a standalone run, its preflight check, a
// download run, a repair run and a mistyped command line. Every line a run shows must be a text
// of the locale's language from the catalogue, its conversions filled in; a line the catalogue
// does not hold in that language (an English literal, or an English catalogue text) fails the
// test. Names, addresses and versions stand where the texts have conversions, so they never
// count as words.
#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "E2eFixtures.h"
#include "LoopbackPeer.h"
#include "RunningProgram.h"
#include "ScriptedRepairServer.h"
#include "TestServers.h"
#include "kernel/TextConvert.h"
#include "run/MessageCatalogue.h"
#include "run/MessageIds.h"

namespace fs = std::filesystem;
using namespace e2e;
using namespace ZelkPatch;

namespace
{
// What the product utility that the sample installation carries prints of its own.
const char kUtilityPrefix[] = "KorvilUtil: ";

struct Locale
{
    const char *lang;
    uint16_t language;
};

const Locale kLocales[] = {
    {"de_DE.UTF-8", kLanguageGerman}, {"fr_FR.UTF-8", kLanguageFrench}, {"ru_RU.UTF-8", kLanguageRussian},
    {"en_US.UTF-8", kLanguageEnglish}, {"C", kLanguageEnglish},
};

// The lines of one language's catalogue, as patterns of whole lines.
class CatalogueLines
{
public:
    explicit CatalogueLines(uint16_t language)
    {
        const uint16_t previous = CatalogueLanguage();
        SetCatalogueLanguage(language);
        for (unsigned id = kFirstMessageId; id <= kLastMessageId; ++id)
        {
            std::wstringstream text(LoadMessage(id));
            for (std::wstring piece; std::getline(text, piece);)
                AddPiece(piece);
        }
        SetCatalogueLanguage(previous);
    }

    bool Holds(const std::string &line) const
    {
        const std::wstring wide = NativeToPath(line);
        for (const std::wregex &pattern : m_patterns)
            if (std::regex_match(wide, pattern))
                return true;
        return false;
    }

private:
    void AddPiece(const std::wstring &piece)
    {
        std::wstring pattern;
        size_t letters = 0;
        for (size_t i = 0; i < piece.size(); ++i)
        {
            if (piece[i] == L'%' && i + 1 < piece.size())
            {
                // %s, %d, %lu: a filled-in value.
                while (i + 1 < piece.size() && (piece[i + 1] == L'l'))
                    ++i;
                ++i;
                pattern += L"(.*)";
                continue;
            }
            // The test runs in the C locale, which knows no letter beyond ASCII.
            if ((piece[i] < 128 && std::iswalpha(piece[i])) || piece[i] >= 0xC0)
                ++letters;
            if (std::wstring(L"\\^$.|?*+()[]{}").find(piece[i]) != std::wstring::npos)
                pattern += L'\\';
            pattern += piece[i];
        }
        // Texts of a few letters ("...", " to ") say nothing of a language.
        if (letters < 3)
            return;
        // A text that ends in a space is followed by the name it introduces.
        if (piece.back() == L' ')
            pattern += L"(.*)";
        m_patterns.emplace_back(pattern);
    }

    std::vector<std::wregex> m_patterns;
};

// The lines of a run's output that the catalogue does not hold. The product utility's lines are
// the product's, and message boxes' brackets are not text.
std::vector<std::string> ForeignLines(const std::string &output, const CatalogueLines &catalogue)
{
    std::vector<std::string> foreign;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
    {
        if (line.empty() || line.rfind(kUtilityPrefix, 0) == 0)
            continue;
        if (line.size() > 2 && line.front() == '[' && line.back() == ']')
            line = line.substr(1, line.size() - 2);
        // A row of the usage: the option's names (the interface, not words), a tab, its text.
        if (const size_t tab = line.rfind('\t'); tab != std::string::npos && line.rfind("  -", 0) == 0)
            line = line.substr(tab + 1);
        if (!catalogue.Holds(line))
            foreign.push_back(line);
    }
    return foreign;
}

std::string ListEntry(const std::string &source, const std::string &target, const std::string &data)
{
    return "source-version: " + source + "\ntarget-version: " + target +
           "\npatch-exe-url: http://unused.example/patcher.exe\npatch-data-url: " + data + "\n\n";
}

class LocaleRunTest : public e2e::PatcherRunTest, public ::testing::WithParamInterface<Locale>
{
protected:
    // One step 100 -> 101, in a standalone patcher and beside a patch list.
    static void SetUpTestSuite()
    {
        s_temp = std::make_unique<testfiles::TempDirectory>("pelmo-locale-e2e");
        s_root = s_temp->Path();
        fs::create_directories(s_root / "served");
        std::string digest;
        for (const char *version : {"100", "101"})
        {
            const fs::path build = s_root / ("build-" + std::string(version));
            RunTool({kBuild + "/zelk-mksample", build.string(), "--version", version}, &digest);
            fs::remove(build / "unins000.dat");
            if (std::string(version) == "100")
                s_digest100 = digest.substr(0, digest.find('\n'));
        }
        RunTool({kBuild + "/zelk-mkpatch", (s_root / "build-100").string(), (s_root / "build-101").string(),
                 (s_root / "served/100_to_101.zip").string()});
        WriteFile(s_root / "served/patches.txt", ListEntry("100", "101", "100_to_101.zip"));
        s_patcher = s_root / "pelmo-patcher-101";
        RunTool({kBuild + "/zelk-mkpayload", kBuild + "/pelmo-patcher", s_patcher.string(), "--target", "101",
                 "--build", s_digest100 + "=100", "--step", "100:101:" + (s_root / "served/100_to_101.zip").string()});
    }

    static void TearDownTestSuite() { s_temp.reset(); }

    // A run in an installation of its own; its whole output.
    std::string Run(const std::string &name, std::vector<std::string> arguments, const std::string &registryExtra = "",
                    bool standardError = false)
    {
        MakeRunDirectory(s_root / name);
        if (!registryExtra.empty())
            std::ofstream(m_registry, std::ios::app) << registryExtra;
        if (arguments.back() == "INSTALL")
            arguments.back() = m_install.string();
        std::vector<std::string> environment = Environment({"LC_ALL=", "LC_MESSAGES=", "no_proxy=127.0.0.1",
                                                            "NO_PROXY=127.0.0.1",
                                                            "ZELK_TEST_TRANSFER_RETRY_PAUSE_MS=10"});
        // The fixture's locale is C; this test's is the parameter's.
        for (std::string &variable : environment)
            if (variable.rfind("LANG=", 0) == 0)
                variable = std::string("LANG=") + GetParam().lang;
        // A run's diagnostic lines on standard error are for developers; a mistyped command line
        // is told there.
        if (!standardError)
            arguments.insert(arguments.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>/dev/null"});
        RunningProgram patcher(arguments, environment);
        patcher.Wait();
        const std::string output = patcher.Output();
        if (HasFailure())
            return output;
        fs::remove_all(m_dir);
        return output;
    }

    std::string Text(unsigned id) const
    {
        SetCatalogueLanguage(GetParam().language);
        const std::string text = PathToNative(LoadMessage(id));
        SetCatalogueLanguage(kLanguageNeutral);
        return text;
    }

    static std::unique_ptr<testfiles::TempDirectory> s_temp;
    static fs::path s_root;
    static fs::path s_patcher;
    static std::string s_digest100;
};

std::unique_ptr<testfiles::TempDirectory> LocaleRunTest::s_temp;
fs::path LocaleRunTest::s_root;
fs::path LocaleRunTest::s_patcher;
std::string LocaleRunTest::s_digest100;
} // namespace

TEST_P(LocaleRunTest, EveryLineOfEveryRunIsInTheLocalesLanguage)
{
    const CatalogueLines catalogue(GetParam().language);
    // The patterns know English when they see it.
    if (GetParam().language != kLanguageEnglish)
    {
        SetCatalogueLanguage(kLanguageEnglish);
        for (unsigned id : {kIdPatchingCompleted, kIdStageScanning, kIdCheckGoAhead, kIdUnableToDownload})
            EXPECT_FALSE(catalogue.Holds(PathToNative(LoadMessage(id)) + "x")) << id;
        SetCatalogueLanguage(kLanguageNeutral);
    }
    testservers::TestServer http;
    ASSERT_TRUE(http.Start("http_server.py", {"--root", (s_root / "served").string()})) << http.Output();
    const std::string listServer = "http://127.0.0.1:" + std::to_string(http.Port()) + "/";
    const std::string downServer = "http://127.0.0.1:" + std::to_string(loopback::UnusedPort()) + "/";
    loopback::Peer repairServer([](int fd) {
        repairpeer::Handshake(fd);
        loopback::SendAll(fd, repairpeer::Uint32(1) + repairpeer::RawRecord(L"bin\\Launcher.exe#000", 7, "mended"));
        loopback::ReceiveAll(fd);
    });

    const struct
    {
        const char *name;
        std::string output;
        std::string lastLine;
    } runs[] = {
        {"standalone", Run("standalone", {s_patcher.string(), "-u"}), Text(kIdPatchingCompleted)},
        {"check", Run("check", {s_patcher.string(), "-u", "--check"}), Text(kIdCheckGoAhead)},
        // The first server is down, so the run also says that it passes it over.
        {"download",
         Run("download", {kBuild + "/pelmo-patcher", "-u", "--server=" + downServer, "--server=" + listServer,
                          "--final=101", "100", "INSTALL"}),
         Text(kIdPatchingCompleted)},
        {"repair",
         Run("repair", {kBuild + "/pelmo-patcher", "-u", "-r"},
             "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Pelmo]\n\"RepairServer\"=\"127.0.0.1:" +
                 std::to_string(repairServer.Port()) + "\"\n"),
         Text(kIdPatchingCompleted)},
        // The usage and the account of the mistake.
        {"mistyped", Run("mistyped", {kBuild + "/pelmo-patcher", "-u", "--no-such-option"}, "", true),
         Text(kIdUnknownOption).replace(Text(kIdUnknownOption).find("%s"), 2, "--no-such-option")},
    };
    for (const auto &run : runs)
    {
        SCOPED_TRACE(std::string(run.name) + " under LANG=" + GetParam().lang + ":\n" + run.output);
        EXPECT_TRUE(Contains(run.output, run.lastLine));
        EXPECT_EQ(ForeignLines(run.output, catalogue), std::vector<std::string>());
    }
}

INSTANTIATE_TEST_SUITE_P(Locales, LocaleRunTest, ::testing::ValuesIn(kLocales),
                         [](const ::testing::TestParamInfo<Locale> &info) {
                             const std::string lang = info.param.lang;
                             return lang == "C" ? std::string("C") : lang.substr(0, 5);
                         });
