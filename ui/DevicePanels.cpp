#include "ui/DevicePanels.h"

#include <exception>

#include <wx/button.h>
#include <wx/scrolwin.h>
#include <wx/sizer.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "core/IEvents.h"
#include "core/Log.h"
#include "core/State.h"
#include "kivlib/kiv_text.h"
#include "ui/UiCommon.h"

void PinDigitBuffer::AddDigit(int keyCode) {
    if (keyCode >= '0' && keyCode <= '9' && digits_.size() < 4) digits_.push_back(static_cast<char>(keyCode));
}

uint32_t PinDigitBuffer::GetValue() const { return numstr::ToUint32(digits_, 10); }

EnterDigitsPnl::EnterDigitsPnl(IEvents* events, uint64_t sessionId, wxWindow* parent)
    : EnterDigitsPnlBase(parent, wxID_ANY, wxDefaultPosition, wxSize(500, 300), wxWANTS_CHARS),
      events_(events),
      sessionId_(sessionId),
      star_(LoadUiBitmap(L"images/digit_star.png")),
      cursor_(LoadUiBitmap(L"images/digit_cursor.png")),
      empty_(LoadUiBitmap(L"images/digit_empty.png")) {
    m_inner->Bind(wxEVT_KEY_DOWN, &EnterDigitsPnl::OnInnerKeyDown, this);
    UpdateDigitImages();
}

// The toolkit hands the panel's focus on to the inner window, and there, once the focus has moved from
// another window, its text input swallows plain key presses without making characters of them. So a
// digit key is taken as the panel's character at its press (and not passed on: no character follows).
void EnterDigitsPnl::OnInnerKeyDown(wxKeyEvent& event) {
    int digit = event.GetKeyCode();
    if (digit >= WXK_NUMPAD0 && digit <= WXK_NUMPAD9) digit = '0' + (digit - WXK_NUMPAD0);
    if (digit < '0' || digit > '9' || event.HasAnyModifiers()) {
        event.Skip();
        return;
    }
    wxKeyEvent character(wxEVT_CHAR, event);
    character.m_keyCode = digit;
    character.m_uniChar = static_cast<wxChar>(digit);
    OnChar(character);
}

void EnterDigitsPnl::UpdateDigitImages() {
    const size_t typed = buffer_.GetDigits().size();
    for (size_t place = 0; place < 4; ++place) {
        const char kind = place < typed ? 's' : place == typed ? 'c' : 'e';
        places_[place] = kind;
        m_digits[place]->SetBitmap(kind == 's' ? star_ : kind == 'c' ? cursor_ : empty_);
    }
    Layout();
}

std::string EnterDigitsPnl::GetPlaces() const { return std::string(places_, 4); }

void EnterDigitsPnl::OnChar(wxKeyEvent& event) {
    buffer_.AddDigit(event.GetKeyCode());
    if (buffer_.GetDigits().size() == 4) {
        // A wrong PIN only shows as the places emptied again; the events object logs it.
        events_->SubmitPin(buffer_.GetValue(), sessionId_);
        buffer_.Clear();
    }
    UpdateDigitImages();
    event.Skip();
}

AuthorizedPnl::AuthorizedPnl(State* state, IEvents* events, uint64_t sessionId, wxWindow* parent)
    : AuthorizedPnlBase(parent, wxID_ANY, wxDefaultPosition, wxSize(500, 300), wxTAB_TRAVERSAL),
      state_(state),
      events_(events),
      sessionId_(sessionId) {
    try {
        ShowSession();
    } catch (const std::exception& e) {
        // The session went away between the side bar's look-up and this one: say so in the panel.
        KIV_LOG(std::string("Device panel: ") + e.what());
        m_title->SetLabelText(wxString::FromUTF8(e.what()));
        m_unauthorize->Disable();
    }
    Layout();
}

void AuthorizedPnl::ShowSession() {
    const ClientSession session = state_->GetSession(sessionId_);
    m_title->SetLabelText(wxEmptyString);
    struct Known {
        const wchar_t* type;
        const wchar_t* picture;
        const char* name;
    };
    static const Known kKnown[] = {{L"iphone", L"images/dev_iphone.png", "iPhone"},
                                   {L"ipad", L"images/dev_ipad.png", "iPad"},
                                   {L"ipod", L"images/dev_ipod.png", "iPod Touch"}};
    picturePath_ = L"images/dev_unknown.png";
    for (const Known& known : kKnown) {
        if (session.DeviceType == known.type) {
            picturePath_ = known.picture;
            m_name->SetLabelText(known.name);
        }
    }
    m_picture->SetBitmap(LoadUiBitmap(picturePath_));
    m_version->SetLabelText(ToUiText(session.Version));
    const bool connected = state_->IsClientConnected(sessionId_);
    statusImagePath_ = connected ? L"images/connected.png" : L"images/disconnected.png";
    m_status->SetLabelText(connected ? "Connected" : "Disconnected");
    m_statusImage->SetBitmap(LoadUiBitmap(statusImagePath_));
}

wxString AuthorizedPnl::GetNameText() const { return m_name->GetLabelText(); }
wxString AuthorizedPnl::GetVersionText() const { return m_version->GetLabelText(); }
wxString AuthorizedPnl::GetStatusText() const { return m_status->GetLabelText(); }

void AuthorizedPnl::OnUnauthorizeClick(wxCommandEvent&) {
    // The events object reports the change through the queue; the rebuild then deletes this panel.
    events_->Unauthorize(sessionId_);
}

namespace {

// The authorised-device panel as the widest of its usual sessions fills it.
class WidestAuthorizedPnl : public AuthorizedPnlBase {
public:
    explicit WidestAuthorizedPnl(wxWindow* parent)
        : AuthorizedPnlBase(parent, wxID_ANY, wxDefaultPosition, wxSize(500, 300), wxTAB_TRAVERSAL) {
        m_title->SetLabelText(wxEmptyString);
        m_picture->SetBitmap(LoadUiBitmap(L"images/dev_unknown.png"));
        m_name->SetLabelText("iPod Touch");
        m_version->SetLabelText("Unknown Version");
        m_status->SetLabelText("Disconnected");
        m_statusImage->SetBitmap(LoadUiBitmap(L"images/disconnected.png"));
    }
};

// What the panel's layout needs, not the size it is built with (which is larger).
wxSize MeasureAndDelete(wxWindow* panel) {
    panel->Hide();
    const wxSize least = panel->GetSizer()->GetMinSize();
    panel->Destroy();
    return least;
}

}  // namespace

wxSize LeastDevicePanelSize(wxWindow* parent) {
    wxSize least = MeasureAndDelete(new EnterDigitsPnl(nullptr, 0, parent));
    least.IncTo(MeasureAndDelete(new WidestAuthorizedPnl(parent)));
    return least;
}
