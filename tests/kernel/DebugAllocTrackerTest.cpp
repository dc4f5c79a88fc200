// The tracker on a heap of its own that counts: what the exit report says, how leaks group into
// locations, and what happens to blocks it never handed out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ChildRun.h"
#include "kernel/DebugAllocTracker.h"

namespace
{
constexpr char kThisFile[] = "tests/kernel/DebugAllocTrackerTest.cpp";
constexpr char kOpeningBanner[] = "\n\n>>>>>>>>>> DEBUG ALLOCATION >>>>>>>>>>\n\n";
constexpr char kClosingBanner[] = "\n\n<<<<<<<<<< DEBUG ALLOCATION <<<<<<<<<<\n\n";

// The heap under the tracker, counting what it hands out and takes back.
int g_allocated = 0;
int g_released = 0;

void *CountedAllocate(size_t size)
{
    ++g_allocated;
    return std::malloc(size);
}

void *CountedAllocateAligned(size_t alignment, size_t size)
{
    ++g_allocated;
    void *block = nullptr;
    return posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
}

void CountedRelease(void *block)
{
    ++g_released;
    std::free(block);
}

std::vector<std::string> g_lines;
// Loop counts the compiler cannot see, so that it cannot unroll a loop into several call sites.
volatile int g_two = 2;
volatile int g_three = 3;

void CollectLine(const char *line)
{
    g_lines.push_back(line);
}

// As the allocation operators do: the stack starts at the code that asked.
__attribute__((noinline)) void *AllocateHere(DebugAllocTracker &tracker, size_t size)
{
    return tracker.Allocate(size, __builtin_return_address(0));
}

__attribute__((noinline)) void FreeHere(DebugAllocTracker &tracker, void *block)
{
    tracker.Free(block, __builtin_return_address(0));
}

// Hands the standard library's containers blocks of the tracker, as the allocation operators do:
// the stack starts at the library code that asked.
template <typename T>
struct TrackedAllocator
{
    using value_type = T;
    DebugAllocTracker *tracker;

    template <typename U>
    TrackedAllocator(const TrackedAllocator<U> &other) : tracker(other.tracker)
    {
    }
    explicit TrackedAllocator(DebugAllocTracker &owner) : tracker(&owner) {}
    __attribute__((noinline)) T *allocate(size_t count)
    {
        return static_cast<T *>(tracker->Allocate(count * sizeof(T), __builtin_return_address(0)));
    }
    __attribute__((noinline)) void deallocate(T *block, size_t) { tracker->Free(block, __builtin_return_address(0)); }
    bool operator==(const TrackedAllocator &) const = default;
};

class DebugAllocTrackerTest : public testing::Test
{
protected:
    DebugAllocTrackerTest()
        : m_tracker(DebugAllocTracker::Heap{CountedAllocate, CountedAllocateAligned, CountedRelease})
    {
        g_allocated = 0;
        g_released = 0;
        g_lines.clear();
        m_tracker.SetReportHook(CollectLine);
    }

    std::string Lines() const
    {
        std::string text;
        for (const std::string &line : g_lines)
            text += line;
        return text;
    }

    DebugAllocTracker m_tracker;
};

TEST_F(DebugAllocTrackerTest, NoLeaksGiveTheBannersAndAZeroTotal)
{
    FreeHere(m_tracker, AllocateHere(m_tracker, 10));
    FreeHere(m_tracker, m_tracker.AllocateAligned(48, 64, nullptr));
    m_tracker.Report();
    EXPECT_EQ(Lines(), std::string(kOpeningBanner) + "\n\nA total of 0 leaks at 0 locations.\n" + kClosingBanner);
    EXPECT_EQ(g_allocated, 2);
    EXPECT_EQ(g_released, 2);
}

TEST_F(DebugAllocTrackerTest, LeaksFromOneSiteOnOneThreadAreOneLocation)
{
    std::vector<void *> blocks;
    // A loop the compiler cannot unroll: one call site.
    for (int i = 0; i < g_three; ++i)
        blocks.push_back(AllocateHere(m_tracker, 16)); // LEAK(three)
    m_tracker.Report();
    const std::string text = Lines();
    const std::string location =
        std::string(kThisFile) + "(" + std::to_string(SourceLineOf(kThisFile, "LEAK(three)")) +
        "): 3 memory blocks of size 16 were never freed (thread id " + std::to_string(gettid()) + ").\n";
    ASSERT_GE(g_lines.size(), 5u);
    EXPECT_NE(g_lines[1].find(location), std::string::npos) << text;
    // Then where the allocating function was called from, outwards (by function and offset where
    // a library has no line tables), and an empty line.
    EXPECT_TRUE(std::regex_match(g_lines[2], std::regex(".*(\\([0-9]+\\)|\\+0x[0-9a-f]+): Called from\\.\n"))) << text;
    EXPECT_EQ(text.find("<unknown>(-1)"), std::string::npos) << text;
    EXPECT_NE(text.find(".\n\n\n\nA total of 3 leaks at 1 locations.\n"), std::string::npos) << text;
    // The reporting thread's frees pass silently after the report.
    g_lines.clear();
    for (void *block : blocks)
        FreeHere(m_tracker, block);
    EXPECT_EQ(Lines(), "");
    EXPECT_EQ(g_released, 3);
}

// A block that the standard library's code asked for is named by the line of ours that used the
// library, not by a line of the library's headers.
TEST_F(DebugAllocTrackerTest, ALeakThroughTheLibraryIsNamedByOurLine)
{
    auto *kept = new std::vector<int, TrackedAllocator<int>>(TrackedAllocator<int>(m_tracker));
    kept->push_back(7); // LEAK(through the library)
    m_tracker.Report();
    const std::string text = Lines();
    EXPECT_NE(text.find(std::string(kThisFile) + "(" +
                        std::to_string(SourceLineOf(kThisFile, "LEAK(through the library)")) +
                        "): 1 memory block of size 4 was never freed"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("A total of 1 leaks at 1 locations."), std::string::npos) << text;
    delete kept;
}

TEST_F(DebugAllocTrackerTest, SizeStackAndThreadEachMakeALocationOfTheirOwn)
{
    std::vector<void *> blocks;
    auto allocateTwice = [&](size_t size) {
        for (int i = 0; i < g_two; ++i)
            blocks.push_back(AllocateHere(m_tracker, size));
    };
    allocateTwice(16);
    allocateTwice(32);
    std::thread([&] { allocateTwice(16); }).join();
    blocks.push_back(AllocateHere(m_tracker, 16));
    m_tracker.Report();
    const std::string text = Lines();
    int locations = 0;
    for (const std::string &line : g_lines)
        locations +=
            line.find("were never freed") != std::string::npos || line.find("was never freed") != std::string::npos;
    EXPECT_EQ(locations, 4) << text;
    EXPECT_NE(text.find("): 1 memory block of size 16 was never freed (thread id "), std::string::npos) << text;
    EXPECT_NE(text.find("A total of 7 leaks at 4 locations."), std::string::npos) << text;
    for (void *block : blocks)
        FreeHere(m_tracker, block);
}

TEST_F(DebugAllocTrackerTest, UnknownBlockIsReportedAndStillFreed)
{
    void *stranger = CountedAllocate(24);
    FreeHere(m_tracker, stranger); // FREE(unknown)
    ASSERT_EQ(g_lines.size(), 1u);
    char address[32];
    std::snprintf(address, sizeof address, "%p", stranger);
    const std::string place = std::string(kThisFile) + "(" + std::to_string(SourceLineOf(kThisFile, "FREE(unknown)")) +
                              "): unknown memory block starting at " + address + " freed.\n";
    EXPECT_TRUE(g_lines[0] == place || g_lines[0].ends_with("/" + place)) << g_lines[0];
    EXPECT_EQ(g_released, 1);
}

TEST_F(DebugAllocTrackerTest, AfterTheReportOnlyOtherThreadsFreesAreReported)
{
    void *mine = AllocateHere(m_tracker, 8);
    void *theirs = AllocateHere(m_tracker, 8);
    m_tracker.Report();
    g_lines.clear();
    FreeHere(m_tracker, mine);
    EXPECT_EQ(Lines(), "");
    std::thread([&] { FreeHere(m_tracker, theirs); }).join();
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_NE(g_lines[0].find("unknown memory block starting at"), std::string::npos) << g_lines[0];
    EXPECT_EQ(g_released, 2);
    // Nothing is recorded any more, so nothing more could be reported.
    FreeHere(m_tracker, AllocateHere(m_tracker, 8));
    EXPECT_EQ(g_lines.size(), 1u);
}

TEST_F(DebugAllocTrackerTest, AlignedBlocksAreAlignedAndTracked)
{
    void *block = m_tracker.AllocateAligned(100, 256, nullptr);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 256, 0u);
    m_tracker.Report();
    EXPECT_NE(Lines().find("1 memory block of size 100 was never freed"), std::string::npos) << Lines();
    FreeHere(m_tracker, block);
}

// The rule that names a block, on place lists as the symbol engine gives them for differently
// built programs: the frame's module decides what is ours, the source path only whether a place
// of ours is a library header the compiler put into our code.
TEST(DebugAllocTrackerPlaceTest, TheFirstOwnPlaceOutsideTheLibraryHeadersNamesTheBlock)
{
    using Place = DebugAllocTracker::Place;
    const Place libraryCode{false, "/build/glibc/malloc/malloc.c", 3300, "malloc+0x1e"};
    const Place unknownLibraryCode{false, "", -1, "libwx.so+0x42"};
    const Place ownHeader{true, "/usr/include/c++/12/bits/new_allocator.h", 147, "std::vector<int>::push_back+0x1a"};
    const Place absoluteOwn{true, "/home/dev/pelmo/kernel/FileUtil.cpp", 40, "ZelkUtil::Read+0x10"};
    const Place relativeOwn{true, "../run/PatchRun.cpp", 12, "PatchRun::Run+0x8"};
    const Place strippedOwn{true, "", -1, "PatchRun::Run+0x8"};
    const Place bareOwn{true, "", -1, "pelmo-patcher+0x1f40"};
    const struct
    {
        const char *name;
        std::vector<Place> places;
        size_t named;
    } cases[] = {
        {"library code, then ours through a library header", {libraryCode, ownHeader, absoluteOwn}, 2},
        {"relative names of another checkout", {libraryCode, ownHeader, relativeOwn, absoluteOwn}, 2},
        // The executable's instance of a library template, called by the library itself.
        {"only library headers of ours", {ownHeader, libraryCode, unknownLibraryCode}, std::string::npos},
        {"a stripped program", {unknownLibraryCode, strippedOwn, bareOwn}, 1},
        {"a library header of ours, then code without lines", {ownHeader, bareOwn, absoluteOwn}, 2},
        {"code of ours without lines, then a library header", {bareOwn, ownHeader}, 0},
        {"no code of ours", {libraryCode, unknownLibraryCode}, std::string::npos},
        {"nothing at all", {}, std::string::npos},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(DebugAllocTracker::NamingPlace(c.places), c.named);
    }
    EXPECT_EQ(DebugAllocTracker::PlaceText(relativeOwn), "../run/PatchRun.cpp(12)");
    EXPECT_EQ(DebugAllocTracker::PlaceText(strippedOwn), "PatchRun::Run+0x8");
    EXPECT_EQ(DebugAllocTracker::PlaceText(bareOwn), "pelmo-patcher+0x1f40");
    EXPECT_EQ(DebugAllocTracker::PlaceText(Place{true, "", -1, ""}), "<unknown>(-1)");
}

TEST(DebugAllocTrackerPlaceTest, LibraryHeadersAreThoseOfTheIncludeDirectories)
{
    EXPECT_TRUE(DebugAllocTracker::IsLibraryHeader("/usr/include/c++/12/bits/stl_vector.h"));
    EXPECT_TRUE(DebugAllocTracker::IsLibraryHeader("/usr/include/wx-3.2/wx/string.h"));
    EXPECT_FALSE(DebugAllocTracker::IsLibraryHeader("/usr/includes/kernel/FileUtil.h"));
    EXPECT_FALSE(DebugAllocTracker::IsLibraryHeader("/home/dev/pelmo/kernel/FileUtil.h"));
    // A relative name is what a build that maps its own directories records.
    EXPECT_FALSE(DebugAllocTracker::IsLibraryHeader("usr/include/kernel/FileUtil.h"));
    EXPECT_FALSE(DebugAllocTracker::IsLibraryHeader("../kernel/FileUtil.h"));
}
} // namespace
