// The application's logic tests (command line, console) use the toolkit's base library only, so
// they run without a display.
#include <gtest/gtest.h>
#include <wx/init.h>
#include <wx/msgout.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    wxInitializer toolkit(argc, argv);
    if (!toolkit.IsOk())
        return 1;
    // Usage texts of the command-line tests go to the test log.
    delete wxMessageOutput::Set(new wxMessageOutputStderr);
    return RUN_ALL_TESTS();
}
