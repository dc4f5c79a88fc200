// The toolkit's message boxes and open-file dialog as the patcher's dialogs.
#pragma once

namespace ZelkPatch
{
// Makes the toolkit's dialogs the process's default ones (app/UserDialogs.h).
void UseToolkitDialogs();
} // namespace ZelkPatch
