#include "ui/FileDropTarget.h"

MyFileDropTarget::MyFileDropTarget(FileDropCallback callback, wxWindow* userData)
    : callback_(callback), userData_(userData) {}

bool MyFileDropTarget::OnDropFiles(wxCoord, wxCoord, const wxArrayString& paths) {
    if (callback_) callback_(userData_, paths);
    return true;
}
