// What the main window needs to know of its notification-area icon.
#pragma once

class INotificationIcon {
public:
    virtual ~INotificationIcon() = default;
    // True while the icon sits in a notification area, so a hidden window can be brought back.
    virtual bool IsInNotificationArea() const = 0;
};
