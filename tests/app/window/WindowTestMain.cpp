// The window tests run inside one toolkit application on the display of the test run (Xvfb).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/msgout.h>

#include "app/window/ToolkitDialogs.h"

namespace
{
class TestApplication : public wxApp
{
public:
    bool OnInit() override { return true; }
};
} // namespace

// Under load the shared X server may refuse a connection while several test programs open it at
// once; the toolkit cannot be started twice in one process, so a fresh copy of the program tries
// again.
void RetryInFreshProcess(const std::vector<char *> &arguments)
{
    constexpr int kStartAttempts = 3;
    const char *previous = std::getenv("ZELK_APP_TEST_ATTEMPT");
    const int attempt = previous ? std::atoi(previous) : 1;
    if (attempt >= kStartAttempts)
        return;
    fprintf(stderr, "window_tests: the display refused the toolkit, trying again\n");
    setenv("ZELK_APP_TEST_ATTEMPT", std::to_string(attempt + 1).c_str(), 1);
    sleep(1);
    execv("/proc/self/exe", arguments.data());
}

int main(int argc, char **argv)
{
    const std::vector<char *> originalArguments(argv, argv + argc + 1);
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();

    // The window's dialogs, as the patcher's window uses them.
    ZelkPatch::UseToolkitDialogs();
    wxApp::SetInstance(new TestApplication);
    // wxInitialize counts its users, so a test that takes its own wxInitializer leaves this one
    // standing.
    if (!wxInitialize(argc, argv) || !wxTheApp->CallOnInit())
    {
        RetryInFreshProcess(originalArguments);
        fprintf(stderr, "window_tests: cannot start the toolkit; the window tests need a display (run them under "
                        "xvfb-run -a)\n");
        return 1;
    }
    // Usage texts of the command-line tests go to the test log, never into a dialog.
    delete wxMessageOutput::Set(new wxMessageOutputStderr);
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxUninitialize();
    return result;
}
