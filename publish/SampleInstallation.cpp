#include "publish/SampleInstallation.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>

#include "kernel/ByteOrder.h"
#include "kernel/FileUtil.h"
#include "kernel/ProductFacts.h"
#include "kernel/TextConvert.h"
#include "patch/UninstallLog.h"

namespace
{
constexpr uint32_t kSampleLogVersion = 1048;
constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kLegacyFileCount = kLastSampleVersion - kFirstSampleVersion;

// The utility's stand-in: it rebuilds nothing, but talks on both streams as the real one does and
// ends with the code a test asks for; KORVILUTIL_LOG collects its argument lines.
const char kUtilityScript[] = "#!/bin/sh\n"
                              "# Stand-in for the product utility of a sample installation.\n"
                              "if [ -n \"$KORVILUTIL_LOG\" ]; then\n"
                              "  printf '%s\\n' \"$*\" >> \"$KORVILUTIL_LOG\"\n"
                              "fi\n"
                              "echo \"KorvilUtil: $1 requested by $2\"\n"
                              "echo \"KorvilUtil: 3 asset index entries were stale\" >&2\n"
                              "echo \"KorvilUtil: asset database rebuilt\"\n"
                              "exit \"${KORVILUTIL_EXIT:-0}\"\n";

// splitmix64: small, fast and the same everywhere.
class SampleRandom
{
public:
    explicit SampleRandom(uint64_t seed) : m_state(seed) {}
    uint64_t Next()
    {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    std::string Bytes(size_t count)
    {
        std::string bytes(count, '\0');
        for (size_t i = 0; i < count; i += 8)
        {
            unsigned char word[8];
            LittleEndian::Write64(word, Next());
            std::memcpy(&bytes[i], word, std::min<size_t>(8, count - i));
        }
        return bytes;
    }

private:
    uint64_t m_state;
};

uint64_t Seed(const std::string &text)
{
    uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text)
        hash = (hash ^ c) * 1099511628211ull;
    return hash;
}

std::string RandomContent(const std::string &seed, size_t size)
{
    return SampleRandom(Seed(seed)).Bytes(size);
}

struct BaseFile
{
    const char *path;
    size_t size;
};

// Large files that the steps change in the middle, medium ones that get insertions, level files
// that grow at the end, and files that never change.
const BaseFile kLargeFiles[] = {{"data/textures/terrain.pak", 9 * kMiB}, {"data/sounds/ambient.bnk", 8 * kMiB + 300000}};
const BaseFile kMediumFiles[] = {
    {"data/models/aircraft.mdl", 1 * kMiB + 4321},
    {"data/models/vehicles.mdl", 700000},
    {"data/scripts/missions.scr", 150000},
};
const BaseFile kLevelFiles[] = {
    {"data/levels/region0.lvl", 60000},
    {"data/levels/region1.lvl", 35000},
    {"data/levels/north/region2.lvl", 48000},
    {"data/levels/north/region3.lvl", 5000},
};
const BaseFile kSteadyFiles[] = {
    {"bin/Korvil.exe", 250000},
    {"bin/zlibwapi.dll", 90000},
    {"data/config/defaults.cfg", 2000},
    {"data/config/empty.cfg", 0},
    {"assets.kdx", 40000},
};

std::wstring Wide(const std::string &text)
{
    return NarrowToWide(text);
}

SampleFile &FindFile(std::vector<SampleFile> &files, const std::string &path)
{
    for (SampleFile &file : files)
        if (file.path == Wide(path))
            return file;
    files.push_back({Wide(path), std::string(), false});
    return files.back();
}

void RemoveFile(std::vector<SampleFile> &files, const std::string &path)
{
    std::erase_if(files, [&](const SampleFile &file) { return file.path == Wide(path); });
}

std::string LegacyPath(size_t index)
{
    return "data/legacy/legacy" + std::to_string(index) + ".dat";
}

// What step "step" (the version it makes) changes.
void ApplyStep(std::vector<SampleFile> &files, int step)
{
    const std::string tag = "step" + std::to_string(step);
    {
        SampleFile &file = FindFile(files, kLargeFiles[step % 2].path);
        const std::string patch = RandomContent(tag + "middle", 20000);
        file.content.replace(file.content.size() / 2 + 977 * (step % 7), patch.size(), patch);
    }
    {
        SampleFile &file = FindFile(files, kMediumFiles[step % 3].path);
        file.content.insert(file.content.size() / 3 + 131 * (step % 5), RandomContent(tag + "insert", 5000));
    }
    {
        SampleFile &file = FindFile(files, kLevelFiles[step % 4].path);
        file.content += RandomContent(tag + "tail", 3000);
    }
    files.push_back({Wide("data/addons/addon" + std::to_string(step) + ".pak"), RandomContent(tag + "addon", 120000),
                     false});
    RemoveFile(files, LegacyPath(static_cast<size_t>(step - kFirstSampleVersion - 1)));
}

std::string LauncherContent(int version)
{
    // A launcher names its build: its digest is how the patcher recognises the installation.
    return "KORVIL-LAUNCHER build " + std::to_string(version) + "\n" +
           RandomContent("launcher" + std::to_string(version), 180000);
}

bool ParseVersion(const std::string &version, int &number)
{
    if (version.empty() || version.size() > 3 || version.find_first_not_of("0123456789") != std::string::npos)
        return false;
    number = std::stoi(version);
    return number >= kFirstSampleVersion && number <= kLastSampleVersion && std::to_string(number) == version;
}

bool WriteFile(const std::wstring &path, const std::string &content)
{
    std::ofstream out(PathToNative(path), std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return static_cast<bool>(out);
}

bool SetExecutable(const std::wstring &path)
{
    std::error_code error;
    std::filesystem::permissions(PathToNative(path),
                                 std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                     std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                     std::filesystem::perms::others_exec,
                                 error);
    return !error;
}

std::wstring ParentOf(const std::wstring &path)
{
    const size_t slash = path.rfind(L'/');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// The log the product's installer leaves: start, the directories it made, every file, the end.
std::string MakeUninstallLog(const std::wstring &directory, const std::vector<std::wstring> &paths)
{
    std::string records;
    uint32_t count = 0;
    auto add = [&](const std::string &record) {
        records += record;
        ++count;
    };
    add(EncodeUninstallRecord(kUninstallRecordStartInstall, 0, {directory, L"Korvil"}, kSampleLogVersion));
    std::set<std::wstring> folders;
    for (const std::wstring &path : paths)
        for (std::wstring folder = ParentOf(path); !folder.empty(); folder = ParentOf(folder))
            folders.insert(folder);
    // Directories are removed after their contents: deepest first.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        add(EncodeUninstallRecord(kUninstallRecordDeleteDirOrFiles, 0, {JoinPath(directory, *folder)},
                                  kSampleLogVersion));
    for (const std::wstring &path : paths)
        add(EncodeUninstallRecord(kUninstallRecordDeleteFile, 0, {JoinPath(directory, path)}, kSampleLogVersion));
    add(EncodeEndInstallRecord(std::string("\xEA\x07\x0C\x00\x04\x00\x0A\x00\x04\x00\x0F\x00\x00\x00\x00\x00", 16),
                               kSampleLogVersion));

    UninstallLogContents header;
    header.id = "Inno Setup Uninstall Log (b) 64-bit";
    header.appId = "{B7D5E1C2-5A0E-4C8B-9D7F-KORVILSIM}_is1";
    header.appName = "Korvil Simulator";
    header.version = kSampleLogVersion;
    return BuildUninstallLog(header, count, records);
}
} // namespace

bool SampleFiles(const std::string &version, std::vector<SampleFile> &files)
{
    int number = 0;
    if (!ParseVersion(version, number))
        return false;
    files.clear();
    auto addBase = [&](const BaseFile &base) {
        files.push_back({Wide(base.path), RandomContent(base.path, base.size), false});
    };
    for (const BaseFile &base : kLargeFiles)
        addBase(base);
    for (const BaseFile &base : kMediumFiles)
        addBase(base);
    for (const BaseFile &base : kLevelFiles)
        addBase(base);
    for (const BaseFile &base : kSteadyFiles)
        addBase(base);
    for (size_t i = 0; i < kLegacyFileCount; ++i)
        files.push_back({Wide(LegacyPath(i)), RandomContent(LegacyPath(i), 2000 + 37 * i), false});
    for (int step = kFirstSampleVersion + 1; step <= number; ++step)
        ApplyStep(files, step);
    files.push_back({ProductFacts::kLauncherPath, LauncherContent(number), true});
    files.push_back({ProductFacts::kUtilityPath, kUtilityScript, true});
    FindFile(files, "bin/Korvil.exe").executable = true;
    return true;
}

bool MakeSampleInstallation(const std::wstring &directory, const std::string &version, const std::wstring &patchTool,
                            std::string &error)
{
    std::vector<SampleFile> files;
    if (!SampleFiles(version, files))
    {
        error = "unknown version " + version + " (a number from " + std::to_string(kFirstSampleVersion) + " to " +
                std::to_string(kLastSampleVersion) + ")";
        return false;
    }
    if (FileExists(JoinPath(directory, ProductFacts::kUninstallLogName)))
    {
        error = "the directory already holds an installation";
        return false;
    }
    std::vector<std::wstring> paths;
    for (const SampleFile &file : files)
    {
        const std::wstring path = JoinPath(directory, file.path);
        if (!MakeDirectory(ParentOf(path)) || !WriteFile(path, file.content) ||
            (file.executable && !SetExecutable(path)))
        {
            error = "cannot write " + PathToNative(path);
            return false;
        }
        paths.push_back(file.path);
    }
    const std::wstring tool = JoinPath(directory, ProductFacts::kPatchToolPath);
    if (!CopyFileAt(patchTool, tool) || !SetExecutable(tool))
    {
        error = "cannot copy the patch tool " + PathToNative(patchTool);
        return false;
    }
    paths.push_back(ProductFacts::kPatchToolPath);

    const std::wstring logPath = JoinPath(directory, ProductFacts::kUninstallLogName);
    if (!WriteFile(logPath, MakeUninstallLog(directory, paths)))
    {
        error = "cannot write the uninstall log";
        return false;
    }
    // The log must be one the product's uninstaller accepts.
    UninstallLogContents log;
    if (!ReadUninstallLog(logPath, log, error))
    {
        error = "uninstall log fails its own check: " + error;
        return false;
    }
    return true;
}
