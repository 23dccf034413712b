#include "platform/Updater.h"

#include <mutex>

namespace {
std::mutex g_lock;
std::string g_url;
bool g_running = false;
}  // namespace

namespace Updater {

void SetAppcastUrl(const std::string& url) {
    std::lock_guard<std::mutex> hold(g_lock);
    g_url = url;
}

void Init() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_running = true;
}

std::string CheckWithUi() {
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_running) return "The updater is not running.";
    return "Updates for Calvoro on this system come through its package manager.";
}

void Cleanup() {
    std::lock_guard<std::mutex> hold(g_lock);
    g_running = false;
}

bool IsRunning() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_running;
}

std::string GetAppcastUrl() {
    std::lock_guard<std::mutex> hold(g_lock);
    return g_url;
}

}  // namespace Updater
