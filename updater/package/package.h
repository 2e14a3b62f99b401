// The firmware package the updater carries: image length (4 bytes, big-endian),
// image, signature length (2 bytes, big-endian), DER ECDSA signature. The
// updater recognises its package by size alone and never parses the fields;
// the verifier is the one reader that does.
#pragma once

#include "platform/kernel32.h"

constexpr int PACKAGE_RESOURCE_ID = 101;  // RT_RCDATA: the firmware package
constexpr int VERIFIER_RESOURCE_ID = 104; // RT_RCDATA: the signature verifier

constexpr DWORD PACKAGE_SIZE = 2097229;  // 4 + 0x200000 + 2 + 71
constexpr DWORD IMAGE_OFFSET = 4;        // position of the image in the package
constexpr DWORD IMAGE_LENGTH = 0x200000; // bytes of image sent to the drive
constexpr DWORD CHUNK_LENGTH = 0x4000;   // bytes of image per WRITE BUFFER

static_assert(IMAGE_LENGTH % CHUNK_LENGTH == 0, "the image is sent in whole chunks");
static_assert(IMAGE_OFFSET + IMAGE_LENGTH < PACKAGE_SIZE, "the trailer follows the image");
