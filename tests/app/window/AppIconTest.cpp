#include "app/window/AppIcon.h"

#include <gtest/gtest.h>

#include <wx/image.h>
#include <wx/init.h>
#include <wx/mstream.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace
{
std::vector<unsigned char> ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
} // namespace

// The embedded bytes are the committed PNGs (a stale or cut array would show a broken icon), and
// each decodes to a square of its size with transparency around the rounded tile.
TEST(AppIconTest, EmbeddedPngsAreTheIconFilesAndDecode)
{
    wxInitializer initializer;
    ASSERT_TRUE(initializer.IsOk());
    if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr)
        wxImage::AddHandler(new wxPNGHandler);

    for (unsigned size : kAppIconSizes) {
        SCOPED_TRACE(size);
        const std::span<const unsigned char> png = AppIconPng(size);
        const std::vector<unsigned char> file =
            ReadFile(std::string(ZELK_SOURCE_DIR) + "/resources/icons/pelmo-patcher-" + std::to_string(size) + ".png");
        ASSERT_FALSE(file.empty());
        EXPECT_TRUE(std::equal(png.begin(), png.end(), file.begin(), file.end()));

        wxMemoryInputStream stream(png.data(), png.size());
        const wxImage image(stream, wxBITMAP_TYPE_PNG);
        ASSERT_TRUE(image.IsOk());
        EXPECT_EQ(image.GetWidth(), static_cast<int>(size));
        EXPECT_EQ(image.GetHeight(), static_cast<int>(size));
        ASSERT_TRUE(image.HasAlpha());
        EXPECT_EQ(image.GetAlpha(0, 0), 0) << "corner should be transparent";
        EXPECT_EQ(image.GetAlpha(size / 2, size / 2), 255);
    }
    EXPECT_TRUE(AppIconPng(64).empty());
}

TEST(AppIconTest, BundleHoldsEverySize)
{
    wxInitializer initializer;
    ASSERT_TRUE(initializer.IsOk());
    const wxIconBundle bundle = AppIconBundle();
    ASSERT_EQ(bundle.GetIconCount(), std::size(kAppIconSizes));
    for (unsigned size : kAppIconSizes) {
        const wxIcon icon = bundle.GetIcon(wxSize(size, size), wxIconBundle::FALLBACK_NONE);
        EXPECT_TRUE(icon.IsOk()) << size;
        EXPECT_EQ(icon.GetWidth(), static_cast<int>(size));
    }
}
