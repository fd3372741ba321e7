#include "velko/mcp/chart_images.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "velko/base/errors.h"
#include "velko/base/strings.h"
#include "velko/mcp/server.h"
#include "velko/platform/storage/s3_storage.h"

namespace velko::mcp {
namespace {

namespace fs = std::filesystem;

// The image's MIME type from its first bytes, or nullptr.
const char* image_type(std::string_view data) {
  if (data.starts_with(std::string_view("\x89PNG\r\n\x1a\n", 8))) return "image/png";
  if (data.starts_with("\xFF\xD8\xFF")) return "image/jpeg";
  return nullptr;
}

// Reads the regular file at `path` (never through a final symbolic link) when it holds at
// most `budget` bytes. Returns the reason it was left out, or nullopt with `data` set.
std::optional<std::string> read_image(const fs::path& path, size_t budget, std::string& data) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return errno == ELOOP ? "a symbolic link" : "cannot be read";
  struct stat info {};
  std::optional<std::string> reason;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    reason = "not a regular file";
  } else if (static_cast<unsigned long long>(info.st_size) > budget) {
    reason = "over the size limit";
  } else {
    data.resize(static_cast<size_t>(info.st_size));
    size_t filled = 0;
    while (filled < data.size()) {
      ssize_t got = ::read(fd, data.data() + filled, data.size() - filled);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      filled += static_cast<size_t>(got);
    }
    data.resize(filled);  // a file that shrank meanwhile is read as it is now
    if (image_type(data) == nullptr) reason = "not a PNG or JPEG image";
  }
  ::close(fd);
  return reason;
}

}  // namespace

Json chart_image_content(std::string_view tool_text, const std::optional<fs::path>& storage_root) {
  Json items = Json::array();
  Json listing;
  try {
    listing = base::loads(tool_text);
  } catch (const base::ValueError&) {
    return items;
  }
  if (!listing.is_object() || !listing.contains("charts") || !listing["charts"].is_array()) return items;

  size_t budget = MAX_CHART_IMAGE_BYTES;
  std::vector<std::string> left_out;
  for (const Json& chart : listing["charts"]) {
    if (!chart.is_object()) continue;
    std::string label =
        chart.contains("filename") && chart["filename"].is_string() ? chart["filename"].get<std::string>() : "chart";
    std::optional<fs::path> path;
    try {
      if (chart.contains("path") && chart["path"].is_string()) {
        path = fs::path(chart["path"].get<std::string>());
      } else if (chart.contains("key") && chart["key"].is_string()) {
        path = platform::storage::S3Storage(storage_root).path_for(chart["key"].get<std::string>());
      }
    } catch (const std::exception&) {
      path.reset();  // a key storage refuses
    }
    if (!path) {
      left_out.push_back(label + " (no readable location)");
      continue;
    }
    if (items.size() >= MAX_CHART_IMAGES) {
      left_out.push_back(label + " (more than " + std::to_string(MAX_CHART_IMAGES) + " images)");
      continue;
    }
    std::string data;
    if (auto reason = read_image(*path, budget, data)) {
      left_out.push_back(label + " (" + *reason + ")");
      continue;
    }
    budget -= data.size();
    items.push_back({{"type", "image"}, {"data", base::base64_encode(data)}, {"mimeType", image_type(data)}});
  }
  if (!left_out.empty()) {
    std::string text = "Charts not attached as images (at most " + std::to_string(MAX_CHART_IMAGES) + " images of " +
                       std::to_string(MAX_CHART_IMAGE_BYTES >> 20) + " MiB together): ";
    for (size_t idx = 0; idx < left_out.size(); ++idx) text += (idx ? ", " : "") + left_out[idx];
    items.push_back({{"type", "text"}, {"text", text}});
  }
  return items;
}

}  // namespace velko::mcp
