// The chart images of a generate_charts result as MCP image content.
//
// The tool's JSON text lists its charts: cli mode by "path" (a file on this machine), web
// mode by storage "key" (read from the storage root, see platform/storage). Each chart
// that is a regular file (not a symbolic link), holds a PNG or JPEG image (by its first
// bytes, whatever its name) and fits the limits becomes {"type": "image", "data": base64,
// "mimeType": "image/png" | "image/jpeg"}, in the order of the listing, at most
// MAX_CHART_IMAGES of at most MAX_CHART_IMAGE_BYTES together. When a chart is left out,
// one text item after the images names each one left out and why.
//
// Thread-safe (reads files only).
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

#include "velko/base/json.h"

namespace velko::mcp {

// The content items to add after the result's text item; an empty array when `tool_text`
// is not a chart listing. Never throws for what the text or the files hold.
Json chart_image_content(std::string_view tool_text, const std::optional<std::filesystem::path>& storage_root);

}  // namespace velko::mcp
