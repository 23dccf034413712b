// The updater: offers new versions from an appcast feed. This platform has no self-updater of its own
// (packages come from the system's package manager), so the layer keeps the calls the server makes and
// their order: set the feed, start, check on the user's request, clean up (safe to call twice).
#pragma once

#include <string>

namespace Updater {
void SetAppcastUrl(const std::string& url);
void Init();
// The user asked for a check from the notification-area menu; returns the text to show.
std::string CheckWithUi();
void Cleanup();
bool IsRunning();
std::string GetAppcastUrl();
}  // namespace Updater
