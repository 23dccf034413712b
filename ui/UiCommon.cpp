#include "ui/UiCommon.h"

#include <wx/log.h>
#include <wx/settings.h>
#include <wx/sizer.h>

#include "core/Log.h"
#include "kivlib/kiv_text.h"

wxDEFINE_EVENT(EVT_FOLDERS_CHANGED, wxCommandEvent);
wxDEFINE_EVENT(EVT_CLIENT_CHANGED, wxThreadEvent);
wxDEFINE_EVENT(EVT_SHOW_WINDOW, wxCommandEvent);
wxDEFINE_EVENT(EVT_QUIT, wxCommandEvent);
wxDEFINE_EVENT(EVT_BONJOUR_PROMPT, wxCommandEvent);
wxDEFINE_EVENT(EVT_SHOW_PREFERENCES, wxCommandEvent);

std::wstring GetUiString(UiString id) {
    switch (id) {
        case UiString::AddVideoFolder: return L"Add Video Folder";
        case UiString::ChooseStorageFolder: return L"Choose Storage Folder";
        case UiString::ChooseVideoFolder: return L"Choose Video Folder";
        case UiString::Name: return L"Name";
        case UiString::VideoFolders: return L"Video Folders";
        case UiString::ProductName: return L"Calvoro";
        case UiString::RestartRequired: return L"The server must be restarted to apply any changes.";
    }
    return L"Unknown String";
}

std::wstring GetImagePath(const std::wstring& relativeName) { return L"./" + relativeName; }

wxBitmap LoadUiBitmap(const std::wstring& relativeName) { return LoadBitmapFile(GetImagePath(relativeName)); }

wxBitmap LoadBitmapFile(const std::wstring& path) {
    wxBitmap bitmap;
    {
        wxLogNull quiet;  // no modal error box from the toolkit
        bitmap.LoadFile(ToUiText(path), wxBITMAP_TYPE_ANY);
    }
    if (!bitmap.IsOk()) KIV_LOG("Image could not be loaded: " + kivm::ToValidUtf8(kivm::str_conv(path)));
    return bitmap;
}

MeasuredText::MeasuredText(wxWindow* parent, const wxString& text, int wrapWidth, int minHeight, long style)
    : wxStaticText(parent, wxID_ANY, text, wxDefaultPosition, wxDefaultSize, style),
      text_(text),
      wrapWidth_(wrapWidth),
      minHeight_(minHeight) {
    Remeasure();
}

void MeasuredText::SetText(const wxString& text) {
    text_ = text;
    Remeasure();
}

void MeasuredText::Remeasure() {
    SetLabel(text_);
    if (wrapWidth_ > 0) Wrap(wrapWidth_);
    InvalidateBestSize();
    wxSize best = GetBestSize();
    // A new font (a bold heading) counts only once its style is applied; its own extent counts now.
    if (wrapWidth_ <= 0) best.IncTo(GetTextExtent(text_) + wxSize(2, 2));
    SetMinSize(wxSize(wrapWidth_ > 0 ? wrapWidth_ : best.x, wxMax(minHeight_, best.y)));
}

void KeepBuiltSizeAsLeast(wxWindow* panel, const wxSize& built) {
    panel->GetSizer()->SetMinSize(built);
    panel->SetMinSize(wxDefaultSize);
    panel->InvalidateBestSize();
    panel->Layout();
}

wxFont BoldGuiFont() {
    const wxFont normal = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    return wxFont(normal.GetPointSize(), wxFONTFAMILY_DEFAULT, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_BOLD);
}

wxString ToUiText(const std::wstring& text) {
    const std::string utf8 = kivm::ToValidUtf8(kivm::str_conv(text));
    return wxString::FromUTF8(utf8.data(), utf8.size());
}

wxString ToOneLineUiText(const std::wstring& text) {
    std::wstring line;
    line.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        const bool lineBreak = c == L'\n' || c == L'\r' || c == L'\v' || c == L'\f' || c == L'\x85' ||
                               c == L'\x2028' || c == L'\x2029';
        if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;
        line.push_back(lineBreak || c == L'\t' ? L' ' : c);
    }
    return ToUiText(line);
}

std::wstring FromToolkitFileName(const wxString& name) {
    const wxCharBuffer bytes = name.fn_str();
    return kivm::str_conv(std::string(bytes.data() ? bytes.data() : "", bytes.length()));
}
