// The product's skill loader: where the skills shipped with the product are installed,
// and the copy of them into the user's own skills root.
//
// The repository's skills/ folder is installed to <prefix>/share/velko/skills. A running
// program finds it next to its executable (<exe dir>/../share/velko/skills); when that
// does not exist, $VELKO_SKILLS_DIR names it; otherwise the source tree's skills/ folder
// is used (a program run from its build tree).
//
// Thread-safe: no shared mutable state; concurrent copies of the same files are safe
// because every file is replaced atomically.
#pragma once

#include <filesystem>

namespace velko::platform::skills_loader {

// The logger that reports what the copy leaves alone.
inline constexpr const char* LOGGER_NAME = "velko.skills.loader";

// The directory that holds the shipped skills, one subdirectory per skill. Evaluated on
// every call (it reads the environment); the directory may not exist.
std::filesystem::path BUNDLED_SKILLS_DIR();

// The user's copy of the shipped skills: $HOME/.velko/skills/default.
std::filesystem::path DEFAULT_SKILLS_TARGET_DIR();

// Copies every shipped skill into DEFAULT_SKILLS_TARGET_DIR(): each directory directly
// inside BUNDLED_SKILLS_DIR() whose name does not begin with "_" or "." with all its
// regular files at every depth (again skipping names that begin with "_" or "."). A file
// whose copy already holds the same bytes is left alone; others are replaced atomically
// (mode 0600; directories made 0700, whatever the umask). Files the user added to the
// copy are kept. Nothing is written outside the skills root: below $HOME/.velko/skills
// no symbolic link is followed, and a link (or a file) where the copy needs a directory
// or a file is reported on LOGGER_NAME as a warning and left alone. Nothing happens when
// the shipped directory does not exist. Returns the number of files written. Throws the
// OSError kinds when a directory cannot be read or a file cannot be written.
int copy_default_skills();

}  // namespace velko::platform::skills_loader
