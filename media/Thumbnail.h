// Thumbnails: one frame of a video, or an existing picture, fitted into a box and laid on a canvas of
// exactly the box's size as a JPEG. The image work is done by two callbacks that the application
// installs at start-up (the media pipeline does not depend on the UI framework).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "core/KivDeleter.h"

class IMetadataFactory;
class KivProcess;

// Loads source, scales it to width x height, lays it at (left, top) on a black boxWidth x boxHeight
// canvas and saves that as a JPEG at destination; true on success.
typedef bool (*ImageResizeCallback)(const std::wstring& destination, const std::wstring& source, int32_t width,
                                    int32_t height, int32_t boxWidth, int32_t boxHeight, int32_t top, int32_t left);
// The picture's width and height; true when it could be read.
typedef bool (*ImageSizeCallback)(const std::wstring& path, int32_t& width, int32_t& height);

// Installed once, before the HTTP interface starts; a null pointer removes the callback.
void SetImageResizeCallback(ImageResizeCallback callback);
void SetImageSizeCallback(ImageSizeCallback callback);

class Thumbnail final : public KivDeleter {
public:
    static boost::shared_ptr<Thumbnail> GetInstance(IMetadataFactory* metadata);

    // Grabs the frame at seconds (at 0 s when the video is shorter), fits it into the box and writes the
    // JPEG; the video's facts from the same run go into the metadata cache. True when the JPEG was written.
    bool CreateJPEG(const std::wstring& jpegPath, const std::wstring& videoPath, uint32_t boxWidth, uint32_t boxHeight,
                    uint32_t seconds);
    // Fits an existing picture into the box; true when the destination was written (or there is no
    // resize callback, in which case nothing is done).
    bool ResizeJPEG(const std::wstring& destination, const std::wstring& source, uint32_t boxWidth, uint32_t boxHeight);
    std::wstring GetLastError() const { return lastError_; }

    void Destroy() override { delete this; }

    // The grab's ffmpeg arguments (after the program name).
    static std::vector<std::string> GrabArguments(const std::wstring& imagePath, const std::wstring& videoPath,
                                                  uint32_t seconds);

private:
    explicit Thumbnail(IMetadataFactory* metadata) : metadata_(metadata) {}
    ~Thumbnail() = default;

    enum GrabResult { GrabMade, GrabNoImage, GrabFailed };
    GrabResult Grab(KivProcess& process, const std::wstring& imagePath, const std::wstring& videoPath,
                    uint32_t seconds);
    bool FitGrabbedFrame(KivProcess& process, const std::wstring& jpegPath, const std::wstring& imagePath,
                         const std::wstring& videoPath, uint32_t boxWidth, uint32_t boxHeight);

    std::wstring lastError_;
    IMetadataFactory* metadata_;
};
