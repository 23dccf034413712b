// What every part of the window shares: its fixed texts, the image files, the text conversions between
// the toolkit and the server, and the program's own event types.
#pragma once

#include <string>

#include <wx/bitmap.h>
#include <wx/font.h>
#include <wx/event.h>
#include <wx/stattext.h>
#include <wx/string.h>

enum class UiString {
    AddVideoFolder = 0,
    ChooseStorageFolder = 1,
    ChooseVideoFolder = 2,
    Name = 3,
    VideoFolders = 4,
    ProductName = 5,
    RestartRequired = 6,
};

// The fixed text of id; "Unknown String" for an id outside the table.
std::wstring GetUiString(UiString id);
// "images/plus.png" -> "./images/plus.png": images lie in the working folder, the program's own.
std::wstring GetImagePath(const std::wstring& relativeName);
// The image as a bitmap. The toolkit's error box is kept quiet: a file that cannot be loaded is
// logged and gives an empty bitmap.
wxBitmap LoadUiBitmap(const std::wstring& relativeName);
// The same for a path as GetImagePath gives it.
wxBitmap LoadBitmapFile(const std::wstring& path);

// The product's web page (the notification-area menu's "About", the preferences' "Support" page).
const char* const kProductWebPage = "https://www.calvoro.invalid/";

// The toolkit's normal font in bold: headings and the selected entry.
wxFont BoldGuiFont();

// A text that keeps its own measure: wrapped at wrapWidth (0: one line as written), at least minHeight
// high. The toolkit measures text right only once some window of the program is on screen, so a dialog
// measures its texts again as it is shown (GenericDialogBase), and a start with the window hidden in
// the tray cuts nothing off.
class MeasuredText : public wxStaticText {
public:
    MeasuredText(wxWindow* parent, const wxString& text, int wrapWidth = 0, int minHeight = 0, long style = 0);
    void SetText(const wxString& text);
    void Remeasure();

private:
    wxString text_;
    int wrapWidth_;
    int minHeight_;
};

// The panel's built size becomes the least size of its layout, and the panel is as large as its layout
// asks, measured again whenever its best size is.
void KeepBuiltSizeAsLeast(wxWindow* panel, const wxSize& built);

// Server text (UTF-8 in wide form, where U+DC80..U+DCFF stand for bytes that are not UTF-8) as a
// label: always valid text, each such byte shown as U+FFFD.
wxString ToUiText(const std::wstring& text);
// The same on one line, for a name a device sends: every line break (CR LF counting as one) and tab
// becomes a space, so the name never takes a second line.
wxString ToOneLineUiText(const std::wstring& text);
// A file name from the toolkit (chooser, drop) in the server's form: the toolkit's own file-name bytes
// converted by our rule, so a name that is not UTF-8 keeps its bytes.
std::wstring FromToolkitFileName(const wxString& name);

// Program event types. EVT_CLIENT_CHANGED goes to the application object and carries the session id
// as its payload (uint64_t); the others go to their target window.
wxDECLARE_EVENT(EVT_FOLDERS_CHANGED, wxCommandEvent);
wxDECLARE_EVENT(EVT_CLIENT_CHANGED, wxThreadEvent);
wxDECLARE_EVENT(EVT_SHOW_WINDOW, wxCommandEvent);
wxDECLARE_EVENT(EVT_QUIT, wxCommandEvent);
wxDECLARE_EVENT(EVT_BONJOUR_PROMPT, wxCommandEvent);
wxDECLARE_EVENT(EVT_SHOW_PREFERENCES, wxCommandEvent);
