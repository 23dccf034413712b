// File and folder tests, creation and deletion.
#pragma once

#include <string>

bool kiv_delete(const std::wstring& path);       // removes a file (never a folder)
bool kiv_file_exists(const std::wstring& path);  // a file or a folder exists at path
// A regular file (also through links) is at path: no folder, named pipe, socket or device. Never blocks.
bool kiv_is_regular_file(const std::wstring& path);
bool kiv_is_directory(const std::wstring& path);  // a folder (also through links) is at path
bool kiv_mkdir(const std::string& path);         // true also for an existing folder
bool kiv_rmdir(const std::string& path);         // removes an empty folder
