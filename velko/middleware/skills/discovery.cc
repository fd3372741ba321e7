#include "velko/middleware/skills/discovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "velko/base/env.h"
#include "velko/base/errors.h"
#include "velko/base/files.h"
#include "velko/base/logging.h"
#include "velko/base/printable.h"
#include "velko/base/strings.h"
#include "velko/base/utf8.h"
#include "velko/middleware/skills/frontmatter.h"

namespace velko::middleware::skills {
namespace fs = std::filesystem;

namespace {

const base::Logger& logger() { return base::get_logger(LOGGER_NAME); }

std::vector<std::string> components(const fs::path& path) {
  std::vector<std::string> out;
  for (const auto& part : path) {
    std::string text = part.string();
    if (!text.empty() && text != ".") out.push_back(std::move(text));
  }
  return out;
}

// `path` with every link followed, as far as it exists; nullopt when that fails.
std::optional<fs::path> resolve(const fs::path& path) {
  std::error_code ec;
  fs::path absolute = fs::absolute(path, ec);
  if (ec) return std::nullopt;
  fs::path resolved = fs::weakly_canonical(absolute, ec);
  if (ec) return std::nullopt;
  return resolved;
}

bool contains(const fs::path& base, const fs::path& path) {
  std::vector<std::string> outer = components(base);
  std::vector<std::string> inner = components(path);
  if (inner.size() < outer.size()) return false;
  for (size_t idx = 0; idx < outer.size(); ++idx) {
    if (outer[idx] != inner[idx]) return false;
  }
  return true;
}

// Closes a descriptor when it goes out of scope.
struct FileDescriptor {
  int fd = -1;
  explicit FileDescriptor(int value) : fd(value) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;

ssize_t read_some(int fd, char* buffer, size_t size, const fs::path& path) {
  while (true) {
    ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return got;
    if (errno != EINTR) base::throw_os_error(errno, "read", path);
  }
}

// The size of an open regular file; refuses what is not one (a FIFO, a device, a socket).
size_t regular_file_size(int fd, const fs::path& path) {
  struct stat info;
  if (::fstat(fd, &info) != 0) base::throw_os_error(errno, "stat", path);
  if (!S_ISREG(info.st_mode)) throw base::OSError("Not a regular file: '" + path.string() + "'");
  return static_cast<size_t>(info.st_size);
}

// Reads an open file: at most `limit` + 1 bytes (more means too large). A directory
// fails with EISDIR; a FIFO, a device or a socket is refused, so nothing can block or
// run without end. A SKILL.md that fits one buffer costs a single read: a regular file
// returns fewer bytes than asked for only at its end, and a first read that returns
// nothing or fills the buffer is checked with fstat. Throws the OSError kinds.
std::string read_open_file(int fd, const fs::path& path, size_t limit, bool& too_large) {
  too_large = false;
  constexpr size_t kFirstRead = 64 * 1024;
  thread_local char first[kFirstRead];
  size_t got = static_cast<size_t>(read_some(fd, first, kFirstRead, path));
  if (got > 0 && got < kFirstRead) return std::string(first, got);
  size_t size = regular_file_size(fd, path);
  if (size > limit) {
    too_large = true;
    return {};
  }
  std::string data(first, got);
  if (got == 0) return data;
  // The rest, up to one byte past the limit (a file that grew since fstat).
  size_t filled = got;
  data.resize(std::max(size, filled) + 1);
  while (filled <= limit) {
    if (filled == data.size()) data.resize(std::min(limit + 1, data.size() * 2));
    size_t more = static_cast<size_t>(read_some(fd, data.data() + filled, data.size() - filled, path));
    if (more == 0) break;
    filled += more;
  }
  data.resize(filled);
  if (filled > limit) too_large = true;
  return data;
}

// The record of an opened SKILL.md (see _parse_skill_metadata). `fd` < 0 means: open
// `path` here.
std::optional<SkillMetadata> parse_skill_file(int fd, const fs::path& path) {
  const std::string shown = path_text(path);
  try {
    bool too_large = false;
    std::string bytes;
    FileDescriptor owned(fd >= 0 ? -1 : ::open(path.c_str(), kOpenFlags));
    if (fd < 0 && owned.fd < 0) {
      // The size rule comes first whenever the file can be seen at all.
      int saved = errno;
      struct stat info;
      if (::stat(path.c_str(), &info) != 0 || static_cast<size_t>(info.st_size) <= MAX_SKILL_FILE_SIZE) {
        base::throw_os_error(saved, "open", path);
      }
      too_large = true;
    } else {
      bytes = read_open_file(fd >= 0 ? fd : owned.fd, path, MAX_SKILL_FILE_SIZE, too_large);
    }
    if (too_large) {
      logger().warning("Skipping " + shown + ": file too large");
      return std::nullopt;
    }
    std::string text = base::decode_text_file(std::move(bytes));
    FrontMatterFields fields = read_front_matter(text, MAX_SKILL_DESCRIPTION_LENGTH, MAX_SKILL_FILE_SIZE);
    switch (fields.status) {
      case FrontMatterFields::Status::kNoFrontMatter:
        logger().warning("Skipping " + shown + ": no YAML frontmatter");
        return std::nullopt;
      case FrontMatterFields::Status::kNotMapping:
        return std::nullopt;
      case FrontMatterFields::Status::kMissingField:
        logger().warning("Skipping " + shown + ": missing name or description");
        return std::nullopt;
      case FrontMatterFields::Status::kOk:
        break;
    }
    SkillMetadata skill;
    skill.name = std::move(fields.name);
    skill.description = std::move(fields.description);
    skill.path = shown;
    return skill;
  } catch (const base::OSError& error) {
    logger().warning("Error reading " + shown + ": " + error.what());
  } catch (const base::UnicodeDecodeError& error) {
    logger().warning("Error reading " + shown + ": " + error.what());
  } catch (const YAMLError& error) {
    logger().warning("Error reading " + shown + ": " + error.what());
  }
  return std::nullopt;
}

bool exists_following_links(const fs::path& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0;
}

}  // namespace

Json to_json(const SkillMetadata& skill) {
  Json out = Json::object();
  if (skill.name) out["name"] = *skill.name;
  if (skill.description) out["description"] = *skill.description;
  if (skill.path) out["path"] = *skill.path;
  if (skill.content) out["content"] = *skill.content;
  return out;
}

SkillMetadata skill_metadata_from_json(const Json& value) {
  SkillMetadata skill;
  if (!value.is_object()) return skill;
  auto text = [&](const char* key) -> std::optional<std::string> {
    auto found = value.find(key);
    if (found == value.end() || !found->is_string()) return std::nullopt;
    return found->get<std::string>();
  };
  skill.name = text("name");
  skill.description = text("description");
  skill.path = text("path");
  skill.content = text("content");
  return skill;
}

Json to_json(const std::vector<SkillMetadata>& skills) {
  Json out = Json::array();
  for (const auto& skill : skills) out.push_back(to_json(skill));
  return out;
}

std::vector<SkillMetadata> skills_from_json(const Json& value) {
  std::vector<SkillMetadata> out;
  if (!value.is_array()) return out;
  for (const auto& item : value) out.push_back(skill_metadata_from_json(item));
  return out;
}

fs::path SKILLS_DIR() { return fs::path(base::home_dir()) / ".velko" / "skills"; }

std::string path_text(const fs::path& path) {
  const std::string& raw = path.native();
  if (raw.empty()) return ".";
  std::string out;
  if (raw.size() >= 2 && raw[0] == '/' && raw[1] == '/' && (raw.size() == 2 || raw[2] != '/')) {
    out = "//";
  } else if (raw[0] == '/') {
    out = "/";
  }
  bool first = true;
  for (const auto& part : base::split(raw, '/')) {
    if (part.empty() || part == ".") continue;
    if (!first) out += '/';
    out.append(part);
    first = false;
  }
  return out.empty() ? "." : out;
}

bool _is_safe_path(const fs::path& path, const fs::path& base_dir) {
  std::optional<fs::path> resolved = resolve(path);
  std::optional<fs::path> base = resolve(base_dir);
  if (!resolved || !base) return false;
  return contains(*base, *resolved);
}

std::optional<SkillMetadata> _parse_skill_metadata(const fs::path& skill_md_path) {
  return parse_skill_file(-1, skill_md_path);
}

std::vector<SkillMetadata> _list_skills_from_dir(const fs::path& skills_dir) {
  std::vector<SkillMetadata> skills;
  std::error_code ec;
  if (!fs::exists(skills_dir, ec)) return skills;
  fs::path base = fs::canonical(fs::absolute(skills_dir, ec), ec);
  if (ec) return skills;

  fs::directory_iterator it(skills_dir, ec);
  if (ec) base::throw_os_error(ec.value(), "scandir", skills_dir);
  // Each SKILL.md is opened relative to the root (a short path walk per skill).
  FileDescriptor root(::open(skills_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const fs::path& entry = it->path();
    const std::string name = entry.filename().string();
    std::error_code type_ec;
    const bool entry_is_link = it->is_symlink(type_ec);
    if (type_ec) continue;
    // A plain entry of the resolved root resolves to base/name, inside it; a link is
    // followed and must land inside the root.
    if (entry_is_link) {
      std::optional<fs::path> followed = resolve(entry);
      if (!followed || !contains(base, *followed)) continue;
    }
    if (!it->is_directory(type_ec) || type_ec) continue;
    if (name == "default") continue;

    fs::path skill_md_path = entry / "SKILL.md";
    // Opened without following a link: a plain SKILL.md in a directory inside the root
    // lies inside the root; a link is checked first, then opened by path.
    const std::string relative = name + "/SKILL.md";
    FileDescriptor file(root.fd >= 0 ? ::openat(root.fd, relative.c_str(), kOpenFlags | O_NOFOLLOW)
                                     : ::open(skill_md_path.c_str(), kOpenFlags | O_NOFOLLOW));
    if (file.fd < 0) {
      int saved = errno;
      if (saved == ENOENT || saved == ENOTDIR || saved == ENAMETOOLONG) continue;
      if (saved == ELOOP) {
        if (!exists_following_links(skill_md_path)) continue;
        std::optional<fs::path> followed = resolve(skill_md_path);
        if (!followed || !contains(base, *followed)) continue;
      }
      // Any other failure (no permission, ...) is reported by the parse's own open.
      if (auto skill = parse_skill_file(-1, skill_md_path)) skills.push_back(std::move(*skill));
      continue;
    }
    if (auto skill = parse_skill_file(file.fd, skill_md_path)) skills.push_back(std::move(*skill));
  }
  if (ec) base::throw_os_error(ec.value(), "scandir", skills_dir);
  return skills;
}

std::vector<SkillMetadata> _list_skills(const fs::path& skills_dir) {
  std::vector<SkillMetadata> skills = _list_skills_from_dir(skills_dir);
  std::vector<SkillMetadata> defaults = _list_skills_from_dir(skills_dir / "default");
  skills.insert(skills.end(), std::make_move_iterator(defaults.begin()), std::make_move_iterator(defaults.end()));
  return skills;
}

std::string _format_skills_list(const std::vector<SkillMetadata>& skills) {
  if (skills.empty()) return "(No skills available. Create user skills in ~/.velko/skills/)";
  std::string out;
  for (const auto& skill : skills) {
    if (!out.empty()) out += '\n';
    // Names, descriptions and paths come from files anyone may have written: each stays
    // on its line and holds no control character.
    const auto shown = [](const std::optional<std::string>& text) {
      return base::printable_text(text.value_or(""), base::LineBreaks::kJoin);
    };
    out += "- **" + shown(skill.name) + "**: " + shown(skill.description) + "\n  -> `" + shown(skill.path) + "`";
  }
  return out;
}

}  // namespace velko::middleware::skills
