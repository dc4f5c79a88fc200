#include "app/UserDialogs.h"

#include <cstdio>

#include "kernel/TextConvert.h"

namespace ZelkPatch
{
namespace
{
class UnseenDialogs : public UserDialogs
{
public:
    MessageBoxAnswer ShowMessageBox(wxWindow *, const std::wstring &text, const std::wstring &caption,
                                    MessageBoxStyle style) override
    {
        fprintf(stderr, "%s: %s\n", PathToNative(caption).c_str(), PathToNative(text).c_str());
        return style == MessageBoxStyle::Ok ? MessageBoxAnswer::Ok : MessageBoxAnswer::No;
    }

    bool ChooseExistingFile(wxWindow *, const std::wstring &, const std::wstring &, std::wstring &) override
    {
        return false;
    }
};

UnseenDialogs g_unseenDialogs;
UserDialogs *g_defaultDialogs = &g_unseenDialogs;
UserDialogs *g_dialogs = nullptr;
} // namespace

UserDialogs &Dialogs()
{
    return g_dialogs != nullptr ? *g_dialogs : *g_defaultDialogs;
}

void SetUserDialogs(UserDialogs *dialogs)
{
    g_dialogs = dialogs;
}

void SetDefaultUserDialogs(UserDialogs *dialogs)
{
    g_defaultDialogs = dialogs != nullptr ? dialogs : &g_unseenDialogs;
}
} // namespace ZelkPatch
