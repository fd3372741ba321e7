#include "velko/middleware/analyst/answer_bounds.h"

#include "velko/platform/sql/value_bounds.h"

namespace velko::middleware::analyst {

std::string bounded_text(std::string text) {
  platform::sql::cut_long_text(text);
  return text;
}

Json bounded_names(const std::vector<std::string>& names, size_t budget, size_t& left_out) {
  Json out = Json::array();
  size_t used = 2;  // "[]"
  left_out = 0;
  for (size_t idx = 0; idx < names.size(); ++idx) {
    Json name = bounded_text(names[idx]);
    size_t size = base::dumps(name).size() + 2;  // ", "
    if (used + size > budget) {
      left_out = names.size() - idx;
      break;
    }
    used += size;
    out.push_back(std::move(name));
  }
  return out;
}

std::string left_out_note(size_t count, const std::string& what) {
  return std::to_string(count) + " " + what + " left out: the answer is limited to " +
         std::to_string(MAX_ANSWER_BYTES >> 20) + " MiB";
}

}  // namespace velko::middleware::analyst
