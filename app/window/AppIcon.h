// The program's icon, compiled into the binary from resources/icons/pelmo-patcher-<size>.png (the
// build turns the PNGs into byte arrays), so the window shows it even when nothing is installed.
// Usage in a frame: SetIcons(AppIconBundle());
#pragma once

#include <span>

#include <wx/iconbndl.h>

constexpr unsigned kAppIconSizes[] = {16, 32, 48, 128, 256};

// The PNG bytes of the square icon of the given size (one of kAppIconSizes), or empty.
std::span<const unsigned char> AppIconPng(unsigned size);

// Every size as one bundle, for the window manager to pick from. Call on the GUI thread (it
// registers the PNG image handler when missing); a size that fails to decode is left out.
wxIconBundle AppIconBundle();
