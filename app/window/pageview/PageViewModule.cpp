// The page view on the toolkit's web engine, built as a module of its own (see app/window/PageView.h).
#include <wx/webview.h>

#include "app/window/PageView.h"

namespace
{
using ZelkPatch::PageViewEvents;

wxWindow *Create(wxWindow *parent, int id, const wxSize &size, const char *script, PageViewEvents events)
{
    if (!wxWebView::IsBackendAvailable(wxWebViewBackendDefault))
        return nullptr;
    // Made blank first, so that the script is in place before the page loads.
    wxWebView *view = wxWebView::New(parent, id, wxWebViewDefaultURLStr, wxDefaultPosition, size,
                                     wxWebViewBackendDefault, wxBORDER_NONE);
    if (view == nullptr)
        return nullptr;
    view->AddUserScript(script, wxWEBVIEW_INJECT_AT_DOCUMENT_END);
    view->Hide();
    view->Bind(wxEVT_WEBVIEW_LOADED, [loaded = events.loaded](wxWebViewEvent &event) { loaded(event.GetURL()); });
    view->Bind(wxEVT_WEBVIEW_ERROR, [failed = events.failed](wxWebViewEvent &) { failed(); });
    view->Bind(wxEVT_WEBVIEW_NAVIGATING, [followLink = events.followLink](wxWebViewEvent &event) {
        if (followLink())
            event.Skip();
    });
    return view;
}

void Load(wxWindow *view, const wxString &url)
{
    static_cast<wxWebView *>(view)->LoadURL(url);
}

const ZelkPatch::PageViewModule kModule = {Create, Load};
} // namespace

extern "C" __attribute__((visibility("default"))) const ZelkPatch::PageViewModule *ZelkPageViewModule()
{
    return &kModule;
}
