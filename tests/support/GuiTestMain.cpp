// The GUI test program: a wxApp of its own (the program's application object
// is not started), initialised once, then every test.
#include <gtest/gtest.h>
#include <wx/app.h>
#include <wx/init.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>

namespace
{
class GuiTestApp : public wxApp
{
public:
    bool OnInit() override { return true; }
};
} // namespace

wxIMPLEMENT_APP_NO_MAIN(GuiTestApp);

int main(int argc, char** argv)
{
    std::setlocale(LC_ALL, "");
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
    {
        // test discovery runs at build time, without a display
        return RUN_ALL_TESTS();
    }
    wxApp::SetInstance(new GuiTestApp());
    if (!wxEntryStart(argc, argv) || !wxTheApp->CallOnInit())
    {
        std::fprintf(stderr, "%s: the toolkit did not start (DISPLAY=%s)\n", argv[0],
                     std::getenv("DISPLAY") != nullptr ? std::getenv("DISPLAY") : "");
        return 2;
    }
    const int result = RUN_ALL_TESTS();
    wxTheApp->OnExit();
    wxEntryCleanup();
    return result;
}
