// The window tests run inside one toolkit application on the display of the test run (Xvfb).
#include <cstdio>

#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>
#include <wx/msgout.h>

namespace
{
class TestApplication : public wxApp
{
public:
    bool OnInit() override { return true; }
};
} // namespace

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display.
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();

    wxApp::SetInstance(new TestApplication);
    // wxInitialize counts its users, so a test that takes its own wxInitializer leaves this one
    // standing.
    if (!wxInitialize(argc, argv) || !wxTheApp->CallOnInit())
    {
        fprintf(stderr, "app_tests: cannot start the toolkit; the window tests need a display (run them under "
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
