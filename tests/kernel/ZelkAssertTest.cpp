#include <gtest/gtest.h>

#include <csignal>
#include <unistd.h>

#include "kernel/ZelkAssert.h"

namespace
{
void WriteReportMarker()
{
    const char marker[] = "report hook ran\n";
    write(STDERR_FILENO, marker, sizeof marker - 1);
}
} // namespace

TEST(ZelkAssertDeathTest, FailedAssertionLogsRunsTheReportAndAborts)
{
    ZelkAssert(true, "never logged");
    // The log line goes to standard output; the death test watches standard error.
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            ZelkAssertReportHook = WriteReportMarker;
            ZelkAssert(1 + 1 == 3, "1 + 1 == 3");
        },
        testing::KilledBySignal(SIGABRT), "Assertion failed: 1 \\+ 1 == 3\nreport hook ran\n");
}
