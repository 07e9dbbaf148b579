#pragma once
// The default graphics backend, on Cairo image surfaces, plus PNG reading and writing for
// tools and tests. This header does not include Cairo's, so hosts need no Cairo flags.

#include <filesystem>
#include <memory>
#include <optional>

#include "penwell/platform/Bytes.h"
#include "penwell/platform/Graphics.h"

namespace penwell::cairo {

std::shared_ptr<Graphics> makeGraphics();

/// Reads a PNG file into an image; empty when the file cannot be read as PNG.
std::optional<Image> readPng(const std::filesystem::path& path);

/// Writes an image as PNG; false when the file cannot be written.
bool writePng(const Image& image, const std::filesystem::path& path);

}  // namespace penwell::cairo
