#pragma once

#include "log/Failure.h"

#include <QString>
#include <array>
#include <cstdint>
#include <memory>

class QImage;

// The binarised camera picture: the image's 480 columns one after another,
// each as its 640 pixels from top to bottom; 255 for dark, 0 for light.
constexpr int kPictureWidth = 480;
constexpr int kPictureHeight = 640;
constexpr int kCameraPictureSize = kPictureWidth * kPictureHeight;
using CameraPicture = std::array<uint8_t, kCameraPictureSize>;

struct PictureRelease {
    void operator()(CameraPicture* picture) const;
};
using PictureBuffer = std::unique_ptr<CameraPicture, PictureRelease>;
// A picture of zeros whose memory the system gives only as it is written:
// a rig of scanners that load no picture holds no picture memory.
PictureBuffer makeBlankPicture();

// False (and `out` untouched) unless the image is 480 wide and 640 high.
bool binarizePicture(const QImage& image, CameraPicture& out);

// Loads and binarises the picture file. False (and `out` untouched) for a
// missing, unreadable or not regular file, an image of the wrong size (told
// from its header, before decoding) or one that does not decode whole;
// the failure says which.
MaybeFailure loadCameraPicture(const QString& path, CameraPicture& out);
