// The content panels of a device entry: PIN entry for a device that must pair, and the facts of an
// authorised device with the button that withdraws its authorisation.
#pragma once

#include <cstdint>
#include <string>

#include <wx/bitmap.h>

#include "ui/DevicePanelsBase.h"

class IEvents;
class State;

// The digits typed so far: '0' to '9', at most four.
class PinDigitBuffer {
public:
    // Takes the key code when it is a digit and fewer than four are held; ignores anything else.
    void AddDigit(int keyCode);
    void Clear() { digits_.clear(); }
    std::string GetDigits() const { return digits_; }
    uint32_t GetValue() const;

private:
    std::string digits_;
};

class EnterDigitsPnl : public EnterDigitsPnlBase {
public:
    EnterDigitsPnl(IEvents* events, uint64_t sessionId, wxWindow* parent);

    void UpdateDigitImages();
    void OnChar(wxKeyEvent& event) override;
    uint64_t GetSessionId() const { return sessionId_; }
    std::string GetDigits() const { return buffer_.GetDigits(); }
    // The image each place shows now: 's' typed digit, 'c' cursor, 'e' empty.
    std::string GetPlaces() const;

protected:
    // The toolkit hands the focus on to the inner window: its keys count as the panel's own.
    void OnInnerPanelChar(wxKeyEvent& event) override { event.Skip(); }

private:
    void OnInnerKeyDown(wxKeyEvent& event);

    IEvents* events_;
    uint64_t sessionId_;
    PinDigitBuffer buffer_;
    wxBitmap star_;
    wxBitmap cursor_;
    wxBitmap empty_;
    char places_[4] = {'e', 'e', 'e', 'e'};
};

class AuthorizedPnl : public AuthorizedPnlBase {
public:
    AuthorizedPnl(State* state, IEvents* events, uint64_t sessionId, wxWindow* parent);

    void OnUnauthorizeClick(wxCommandEvent& event) override;
    uint64_t GetSessionId() const { return sessionId_; }
    wxString GetNameText() const;
    wxString GetVersionText() const;
    wxString GetStatusText() const;
    std::wstring GetPicturePath() const { return picturePath_; }
    std::wstring GetStatusImagePath() const { return statusImagePath_; }

private:
    void ShowSession();

    State* state_;
    IEvents* events_;
    uint64_t sessionId_;
    std::wstring picturePath_;
    std::wstring statusImagePath_;
};

// The least size at which either panel shows whole: both are made in parent for the measure (the
// authorised one with the longest texts of a session's own) and deleted again.
wxSize LeastDevicePanelSize(wxWindow* parent);
