// zelk-damage DIR [--flip FILE:SEGMENT] [--flip-byte FILE:SEGMENT] [--cut FILE:SIZE] [--grow FILE:COUNT]
// [--delete FILE] [--add FILE:SIZE]: damages an installation the ways repair runs must undo, in the order given.
// The bytes it writes are the same every time, so that a test or a benchmark can be repeated.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kernel/FileUtil.h"
#include "kernel/TextConvert.h"
#include "repair/FileTreeSummary.h"
#include "tools/ToolCommandLine.h"

namespace
{
const char kUsage[] =
    "Usage: zelk-damage DIR [--flip FILE:SEGMENT] [--flip-byte FILE:SEGMENT] [--cut FILE:SIZE]\n"
    "                       [--grow FILE:COUNT] [--delete FILE] [--add FILE:SIZE]\n"
    "Damages the installation DIR the ways a repair run must undo, in the order the options are\n"
    "given; each may be given any number of times. FILE is relative to DIR, with '/' separators.\n"
    "The bytes written are the same every time.\n"
    "\n"
    "  --flip FILE:SEGMENT  invert 4096 bytes in the middle of the 4 MiB segment SEGMENT (from 0)\n"
    "                       of FILE (all of them in a shorter segment)\n"
    "  --flip-byte FILE:SEGMENT  invert the one byte in the middle of segment SEGMENT of FILE\n"
    "  --cut FILE:SIZE      cut FILE to SIZE bytes (SIZE below its size)\n"
    "  --grow FILE:COUNT    append COUNT bytes to FILE; also makes an empty file non-empty\n"
    "  --delete FILE        delete FILE\n"
    "  --add FILE:SIZE      create FILE (it must not exist) with SIZE bytes, directories included\n"
    "\n"
    "Exit status: 0 success, 1 wrong arguments, 2 a file could not be changed as asked.\n";

constexpr uint64_t kFlipRun = 4096;
constexpr uint64_t kFlipByteRun = 1;

struct Damage
{
    std::string kind;
    std::string file;
    uint64_t number = 0;
};

// "FILE:NUMBER", or "FILE" alone when no number is wanted.
std::string ParseDamage(const std::string &kind, const std::string &value, bool wantsNumber, std::vector<Damage> &damages)
{
    Damage damage{kind, value, 0};
    if (wantsNumber)
    {
        const size_t colon = value.rfind(':');
        const std::string number = colon == std::string::npos ? std::string() : value.substr(colon + 1);
        if (number.empty() || number.size() > 18 || number.find_first_not_of("0123456789") != std::string::npos)
            return "--" + kind + " takes FILE:NUMBER, not '" + value + "'";
        damage.file = value.substr(0, colon);
        damage.number = std::stoull(number);
    }
    if (!IsContainedRelativeName(NarrowToWide(damage.file)))
        return "--" + kind + ": '" + damage.file + "' is no path below DIR";
    damages.push_back(damage);
    return std::string();
}

// Bytes that differ from run to run of a file's content but not from one damage tool run to the next.
std::string DamageBytes(uint64_t count, uint64_t seed)
{
    std::string bytes(count, '\0');
    uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
    for (char &byte : bytes)
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

std::string Apply(const std::filesystem::path &directory, const Damage &damage)
{
    const std::filesystem::path path = directory / damage.file;
    std::error_code error;
    const bool exists = std::filesystem::is_regular_file(path, error);
    if (damage.kind != "add" && !exists)
        return damage.file + " is no file in DIR";
    const uint64_t size = exists ? std::filesystem::file_size(path, error) : 0;

    if (damage.kind == "delete")
        std::filesystem::remove(path, error);
    else if (damage.kind == "cut")
    {
        if (damage.number >= size)
            return "--cut " + damage.file + ": " + std::to_string(damage.number) + " is not below its size " +
                   std::to_string(size);
        std::filesystem::resize_file(path, damage.number, error);
    }
    else if (damage.kind == "add")
    {
        if (std::filesystem::exists(path, error))
            return "--add " + damage.file + ": it exists already";
        std::filesystem::create_directories(path.parent_path(), error);
        std::ofstream out(path, std::ios::binary);
        const std::string bytes = DamageBytes(damage.number, damage.number + damage.file.size());
        if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush())
            return "cannot write " + path.string() + ": " + std::strerror(errno);
    }
    else if (damage.kind == "grow")
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        const std::string bytes = DamageBytes(damage.number, size + 1);
        if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush())
            return "cannot write " + path.string() + ": " + std::strerror(errno);
    }
    else if (damage.kind == "flip" || damage.kind == "flip-byte")
    {
        const uint64_t start = damage.number * kSegmentSize;
        if (start >= size)
            return "--" + damage.kind + " " + damage.file + ": segment " + std::to_string(damage.number) +
                   " is past its end";
        const uint64_t length = std::min<uint64_t>(kSegmentSize, size - start);
        const uint64_t run = std::min(length, damage.kind == "flip" ? kFlipRun : kFlipByteRun);
        const uint64_t offset = start + (length - run) / 2;
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
        std::string bytes(run, '\0');
        file.seekg(static_cast<std::streamoff>(offset));
        file.read(bytes.data(), static_cast<std::streamsize>(run));
        for (char &byte : bytes)
            byte = static_cast<char>(~byte);
        file.seekp(static_cast<std::streamoff>(offset));
        if (!file.write(bytes.data(), static_cast<std::streamsize>(run)) || !file.flush())
            return "cannot write " + path.string() + ": " + std::strerror(errno);
    }
    if (error)
        return "cannot change " + path.string() + ": " + error.message();
    return std::string();
}
} // namespace

int main(int argc, char **argv)
{
    ToolCommandLine line("zelk-damage", kUsage, {"DIR"});
    std::vector<Damage> damages;
    for (const char *kind : {"flip", "flip-byte", "cut", "grow", "add"})
        line.Each(std::string("--") + kind,
                  [&, kind](const std::string &value) { return ParseDamage(kind, value, true, damages); });
    line.Each("--delete", [&](const std::string &value) { return ParseDamage("delete", value, false, damages); });
    if (!line.Parse(argc, argv))
        return line.ExitStatus();
    const std::filesystem::path directory = line.Operands()[0];
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error))
        return line.Failure(directory.string() + " is no directory");
    for (const Damage &damage : damages)
    {
        const std::string problem = Apply(directory, damage);
        if (!problem.empty())
            return line.Failure(problem);
    }
    return kToolExitSuccess;
}
