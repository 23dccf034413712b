// The records that the state store keeps and hands out by copy.
#pragma once

#include <cstdint>
#include <string>

// One client device's session; lives only in memory.
struct ClientSession {
    std::wstring UniqueId;          // the device's unique id as it announced it; the key of authorisation
    uint64_t SessionId = 0;         // never 0 in a stored session
    std::wstring Name;              // the device's name from its first announce
    bool Authorized = false;        // the device may use the HTTP API
    uint32_t Pin = 0;               // 1000..9999 for a session created unauthorised, 0 otherwise
    std::wstring DeviceType = L"Unknown Device";
    std::wstring Version = L"Unknown Version";
};

// One shared folder: its path and the unique name under which clients see it.
struct FolderEntry {
    std::wstring Path;
    std::wstring Alias;
};

// One row of the folder tree that the desktop UI shows.
struct FolderTreeRow {
    bool IsFolder = false;  // false for a video file
    bool Expanded = false;  // the rows of its contents follow it
    int Depth = 0;          // 0 for a shared folder
    std::wstring Path;
    std::wstring Name;      // last component of Path
    std::wstring Alias;     // only on rows of depth 0
};

// One finished offline conversion.
struct FinishedConversion {
    std::wstring FilePath;          // the converted file in the cache folder
    std::wstring ClientIdentifier;  // the client that asked for it
    std::string SrcVirtualPath;     // UTF-8, as the client named the source
    std::string DstVirtualPath;     // UTF-8, where the client fetches the output
    uint64_t TotalBytes = 0;

    // The client identifier takes no part in equality.
    bool operator==(const FinishedConversion& other) const {
        return FilePath == other.FilePath && SrcVirtualPath == other.SrcVirtualPath &&
               DstVirtualPath == other.DstVirtualPath && TotalBytes == other.TotalBytes;
    }
    bool operator!=(const FinishedConversion& other) const { return !(*this == other); }
};
