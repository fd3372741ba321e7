#include "velko/platform/sql/postgres_values.h"

#include <charconv>
#include <cstdint>
#include <string>

#include "velko/platform/sql/text_forms.h"

namespace velko::platform::sql {
namespace {

enum : PgOid {
  kBool = 16,
  kBytea = 17,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kOid = 26,
  kJson = 114,
  kFloat4 = 700,
  kFloat8 = 701,
  kDate = 1082,
  kTime = 1083,
  kTimestamp = 1114,
  kTimestamptz = 1184,
  kInterval = 1186,
  kTimetz = 1266,
  kNumeric = 1700,
  kJsonb = 3802,
};

Json text_value(std::string_view text) { return Json(std::string(text)); }

Json scalar(PgOid type, std::string_view text) {
  switch (type) {
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid: {
      int64_t value = 0;
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error == std::errc() && end == text.data() + text.size()) return Json(value);
      return text_value(text);
    }
    case kFloat4:
    case kFloat8: {
      double value = 0;
      auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
      if (error == std::errc() && end == text.data() + text.size()) return Json(value);
      return text_value(text);
    }
    case kBool:
      if (text == "t") return Json(true);
      if (text == "f") return Json(false);
      return text_value(text);
    case kJson:
    case kJsonb: {
      Json parsed = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
      return parsed.is_discarded() ? text_value(text) : parsed;
    }
    case kNumeric:
      return Json(decimal_text(text));
    case kDate:
      return text_value(text);
    case kTime:
    case kTimetz:
      return Json(time_text(text));
    case kTimestamp:
    case kTimestamptz:
      return Json(timestamp_text(text));
    case kInterval:
      return Json(interval_text(text));
    case kBytea:
      return Json(bytea_text(text));
    default:
      return text_value(text);
  }
}

// Reads one array literal ("{...}") starting at text[pos]; advances pos past it.
class ArrayReader {
 public:
  ArrayReader(std::string_view text, PgOid element) : text_(text), element_(element) {}

  bool read(Json& out) {
    // An explicit-bounds prefix ("[0:2]={...}") carries no values.
    if (!text_.empty() && text_[0] == '[') {
      size_t equals = text_.find('=');
      if (equals == std::string_view::npos) return false;
      pos_ = equals + 1;
    }
    if (!read_array(out, 0)) return false;
    return pos_ == text_.size();
  }

 private:
  bool read_array(Json& out, int depth) {
    if (depth > 64 || pos_ >= text_.size() || text_[pos_] != '{') return false;
    ++pos_;
    out = Json::array();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return true;
    }
    while (pos_ < text_.size()) {
      Json item;
      if (text_[pos_] == '{') {
        if (!read_array(item, depth + 1)) return false;
      } else if (text_[pos_] == '"') {
        std::string value;
        ++pos_;
        while (pos_ < text_.size() && text_[pos_] != '"') {
          if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
          value += text_[pos_++];
        }
        if (pos_ >= text_.size()) return false;
        ++pos_;
        item = scalar(element_, value);
      } else {
        size_t end = text_.find_first_of(",}", pos_);
        if (end == std::string_view::npos) return false;
        std::string_view value = text_.substr(pos_, end - pos_);
        pos_ = end;
        bool is_null = value.size() == 4 && (value[0] | 0x20) == 'n' && (value[1] | 0x20) == 'u' &&
                       (value[2] | 0x20) == 'l' && (value[3] | 0x20) == 'l';
        item = is_null ? Json(nullptr) : scalar(element_, value);
      }
      out.push_back(std::move(item));
      if (pos_ >= text_.size()) return false;
      if (text_[pos_] == '}') {
        ++pos_;
        return true;
      }
      if (text_[pos_] != ',') return false;
      ++pos_;
    }
    return false;
  }

  std::string_view text_;
  PgOid element_;
  size_t pos_ = 0;
};

}  // namespace

PgOid pg_array_element_type(PgOid type) {
  switch (type) {
    case 1000:
      return 16;  // bool[]
    case 1001:
      return 17;  // bytea[]
    case 1002:
      return 18;  // "char"[]
    case 1003:
      return 19;  // name[]
    case 1005:
      return 21;  // int2[]
    case 1007:
      return 23;  // int4[]
    case 1009:
      return 25;  // text[]
    case 1014:
      return 1042;  // bpchar[]
    case 1015:
      return 1043;  // varchar[]
    case 1016:
      return 20;  // int8[]
    case 1021:
      return 700;  // float4[]
    case 1022:
      return 701;  // float8[]
    case 1028:
      return 26;  // oid[]
    case 199:
      return 114;  // json[]
    case 143:
      return 142;  // xml[]
    case 791:
      return 790;  // money[]
    case 1041:
      return 869;  // inet[]
    case 651:
      return 650;  // cidr[]
    case 1182:
      return 1082;  // date[]
    case 1183:
      return 1083;  // time[]
    case 1115:
      return 1114;  // timestamp[]
    case 1185:
      return 1184;  // timestamptz[]
    case 1187:
      return 1186;  // interval[]
    case 1270:
      return 1266;  // timetz[]
    case 1231:
      return 1700;  // numeric[]
    case 2951:
      return 2950;  // uuid[]
    case 3807:
      return 3802;  // jsonb[]
    default:
      return 0;
  }
}

Json pg_value(PgOid type, std::string_view text) {
  if (PgOid element = pg_array_element_type(type); element != 0) {
    Json array;
    if (ArrayReader(text, element).read(array)) return array;
    return text_value(text);
  }
  return scalar(type, text);
}

}  // namespace velko::platform::sql
