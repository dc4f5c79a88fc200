#include "app/window/AppIcon.h"

#include <wx/bitmap.h>
#include <wx/icon.h>
#include <wx/image.h>
#include <wx/mstream.h>

namespace
{
#include "resources/AppIconData.inc"
} // namespace

std::span<const unsigned char> AppIconPng(unsigned size)
{
    switch (size) {
    case 16:
        return kAppIconPng16;
    case 32:
        return kAppIconPng32;
    case 48:
        return kAppIconPng48;
    case 128:
        return kAppIconPng128;
    case 256:
        return kAppIconPng256;
    default:
        return {};
    }
}

wxIconBundle AppIconBundle()
{
    if (wxImage::FindHandler(wxBITMAP_TYPE_PNG) == nullptr)
        wxImage::AddHandler(new wxPNGHandler);
    wxIconBundle bundle;
    for (unsigned size : kAppIconSizes) {
        const std::span<const unsigned char> png = AppIconPng(size);
        wxMemoryInputStream stream(png.data(), png.size());
        const wxImage image(stream, wxBITMAP_TYPE_PNG);
        if (!image.IsOk())
            continue;
        wxIcon icon;
        icon.CopyFromBitmap(wxBitmap(image));
        bundle.AddIcon(icon);
    }
    return bundle;
}
