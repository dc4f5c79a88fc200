// The texts a user reads, for the code below the message catalogue. The catalogue belongs to the
// run's layer, above this one, and holds every such text in four languages; code below it names a
// text by its catalogue id (kernel/UserTextIds.h) and asks for it here. The catalogue installs its
// lookup when the program starts, so every text follows the language the catalogue chose. In a
// program without the catalogue (the tools) every text is empty, as a missing catalogue text is.
#pragma once

#include <cstdarg>
#include <string>

using UserTextLookup = std::wstring (*)(unsigned id);

// Installs the lookup for every thread (null: none); the catalogue does it once, before main.
void InstallUserTextLookup(UserTextLookup lookup);

// The text of id in the catalogue's language, or the empty text.
std::wstring UserText(unsigned id);

// The text of id with its printf conversions filled in (bounded, never overrun). A text's "%s"
// takes wide text.
std::wstring FormatUserText(unsigned id, ...);

// The same for a text already looked up: the one formatting every user text goes through.
std::wstring FormatUserTextV(const std::wstring &text, va_list args);
