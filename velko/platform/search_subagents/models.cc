#include "velko/platform/search_subagents/models.h"

#include <cctype>
#include <string>

namespace velko::platform::search_subagents {
namespace {

struct SmallModel {
  const char* provider;
  const char* name;
};

constexpr SmallModel kSmallModels[] = {
    {"anthropic", "claude-3-5-haiku-latest"},
    {"openai", "gpt-4o-mini"},
    {"google", "gemini-2.0-flash"},
};

}  // namespace

Json get_small_model(std::string_view provider) {
  std::string lowered(provider);
  for (char& ch : lowered) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  for (const SmallModel& model : kSmallModels) {
    if (lowered == model.provider) {
      Json descriptor = Json::object();
      descriptor["provider"] = model.provider;
      descriptor["name"] = model.name;
      return descriptor;
    }
  }
  return nullptr;
}

}  // namespace velko::platform::search_subagents
