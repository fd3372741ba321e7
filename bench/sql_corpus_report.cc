// Prints how add_limit_to_query's outcomes compare with sqlglot's on the SQL corpus in
// tests/data/sql-corpus (limit 1000): agreement per dialect and every difference, with
// the reason recorded for it in the allow-list of tests/sql_corpus_test.cc.
//
// Usage: sql_corpus_report [SOURCE_DIR]   (default: $VELKO_SOURCE_DIR, else the
// repository this file sits in). Exit status 0 when every difference is explained.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "velko/platform/db_utils/sql_limit.h"

namespace {

using velko::platform::db_utils::cap_query_limit;
using velko::platform::db_utils::LimitOutcome;

constexpr long long kCap = 1000;

struct Record {
  std::string id;
  std::string dialect;  // as the corpus writes it
  velko::platform::sql_lexer::SqlDialect sql_dialect = velko::platform::sql_lexer::SqlDialect::kPostgres;
  std::string sql;
  std::string expected;  // sqlglot's outcome
  std::vector<std::string> flags;
};

std::vector<Record> load_corpus(const std::string& dir) {
  std::map<std::string, nlohmann::json> expected;
  std::ifstream expected_file(dir + "/expected.jsonl");
  for (std::string line; std::getline(expected_file, line);) {
    if (line.empty()) continue;
    nlohmann::json row = nlohmann::json::parse(line);
    expected.emplace(row.at("id").get<std::string>(), std::move(row));
  }
  std::vector<Record> records;
  std::ifstream corpus_file(dir + "/corpus.jsonl");
  for (std::string line; std::getline(corpus_file, line);) {
    if (line.empty()) continue;
    const nlohmann::json row = nlohmann::json::parse(line);
    Record record;
    record.id = row.at("id").get<std::string>();
    record.dialect = row.at("dialect").get<std::string>();
    record.sql_dialect = velko::platform::sql_lexer::parse_sql_dialect(record.dialect);
    record.sql = row.at("sql").get<std::string>();
    const nlohmann::json& outcome = expected.at(record.id);
    record.expected = outcome.at("outcome").get<std::string>();
    record.flags = outcome.at("flags").get<std::vector<std::string>>();
    records.push_back(std::move(record));
  }
  return records;
}

// Our outcome in sqlglot's classes; a limit we could not bound stays as written: kept.
std::string our_class(LimitOutcome outcome) {
  switch (outcome) {
    case LimitOutcome::kAdded:
      return "added";
    case LimitOutcome::kLowered:
      return "lowered";
    case LimitOutcome::kKept:
    case LimitOutcome::kUncapped:
      return "kept";
    case LimitOutcome::kUnchanged:
      return "unchanged";
  }
  return "unchanged";
}

std::string expected_class(const std::string& outcome) {
  return outcome == "not_a_query" || outcome == "unparsed" ? "unchanged" : outcome;
}

// The allow-list entries {"id", "reason"} of the corpus test.
std::map<std::string, std::string> load_allow_list(const std::string& source_dir) {
  std::ifstream file(source_dir + "/tests/sql_corpus_test.cc");
  std::stringstream text;
  text << file.rdbuf();
  const std::string body = text.str();
  std::map<std::string, std::string> reasons;
  const std::string begin_marker = "// BEGIN KNOWN DIFFERENCES";
  const std::string end_marker = "// END KNOWN DIFFERENCES";
  const std::size_t begin = body.find(begin_marker);
  const std::size_t end = body.find(end_marker);
  if (begin == std::string::npos || end == std::string::npos) return reasons;
  std::istringstream lines(body.substr(begin, end - begin));
  for (std::string line; std::getline(lines, line);) {
    const std::size_t open = line.find("{\"");
    if (open == std::string::npos) continue;
    const std::size_t id_end = line.find('"', open + 2);
    const std::size_t reason_begin = line.find('"', id_end + 1);
    const std::size_t reason_end = line.rfind('"');
    if (id_end == std::string::npos || reason_begin == std::string::npos || reason_end <= reason_begin) {
      continue;
    }
    reasons[line.substr(open + 2, id_end - open - 2)] = line.substr(reason_begin + 1, reason_end - reason_begin - 1);
  }
  return reasons;
}

std::string one_line(const std::string& sql, std::size_t width) {
  std::string out;
  for (char c : sql) {
    if (out.size() >= width) {
      out += "...";
      break;
    }
    out += (c == '\n' || c == '\t' || c == '\r') ? ' ' : c;
  }
  return out;
}

std::string source_dir_from(int argc, char** argv) {
  if (argc > 1) return argv[1];
  if (const char* env = std::getenv("VELKO_SOURCE_DIR")) return env;
  // This file is <source>/bench/sql_corpus_report.cc.
  const std::string here = __FILE__;
  const std::string dir = here.substr(0, here.rfind("bench/"));
  return dir.empty() ? "." : dir;
}

// Flags that mark a known sqlglot fault in the class it gives (as in the corpus test).
const std::set<std::string> kFaultFlags = {"paren_query_not_query", "union_wrapped", "dropped_statements",
                                           "nonnumeric_limit"};

struct Tally {
  int records = 0;
  int read = 0;  // sqlglot read them: not unparsed, not generate_error
  int agree = 0;
  int sound_read = 0;  // read, and no flag marks a sqlglot fault in the class
  int sound_agree = 0;
};

void print_tally(const char* name, const Tally& tally) {
  auto pct = [](int part, int whole) { return whole ? 100.0 * part / whole : 100.0; };
  std::printf("%-11s %7d %6d %6d %8.2f%%   %6d %6d %8.2f%%\n", name, tally.records, tally.read, tally.agree,
              pct(tally.agree, tally.read), tally.sound_read, tally.sound_agree,
              pct(tally.sound_agree, tally.sound_read));
}

}  // namespace

int main(int argc, char** argv) {
  const std::string source_dir = source_dir_from(argc, argv);
  const std::vector<Record> records = load_corpus(source_dir + "/tests/data/sql-corpus");
  if (records.empty()) {
    std::fprintf(stderr, "no corpus under %s/tests/data/sql-corpus\n", source_dir.c_str());
    return 2;
  }
  const std::map<std::string, std::string> reasons = load_allow_list(source_dir);

  std::map<std::string, Tally> by_dialect;
  Tally total;
  std::map<std::string, int> ours_on_unparsed;
  std::vector<std::string> differences;
  int unexplained = 0;
  for (const Record& record : records) {
    const std::string ours = our_class(cap_query_limit(record.sql, kCap, record.sql_dialect).outcome);
    Tally& tally = by_dialect[record.dialect];
    ++tally.records;
    ++total.records;
    if (record.expected == "unparsed" || record.expected == "generate_error") {
      ++ours_on_unparsed[ours];
      continue;
    }
    const bool agree = ours == expected_class(record.expected);
    for (Tally* t : {&tally, &total}) {
      ++t->read;
      t->agree += agree;
      bool fault = false;
      for (const std::string& flag : record.flags) fault = fault || kFaultFlags.count(flag);
      if (!fault) {
        ++t->sound_read;
        t->sound_agree += agree;
      }
    }
    if (agree) continue;
    std::string flags;
    for (const std::string& flag : record.flags) flags += (flags.empty() ? "" : ",") + flag;
    const auto reason = reasons.find(record.id);
    if (reason == reasons.end()) ++unexplained;
    char line[1024];
    std::snprintf(line, sizeof line, "  %-40s sqlglot %-11s ours %-9s [%s]\n      %s\n      -> %s\n", record.id.c_str(),
                  record.expected.c_str(), ours.c_str(), flags.c_str(), one_line(record.sql, 110).c_str(),
                  reason == reasons.end() ? "NOT IN THE ALLOW-LIST" : reason->second.c_str());
    differences.push_back(line);
  }

  std::printf("add_limit_to_query vs sqlglot 10.6.3, limit %lld, %zu records\n\n", kCap, records.size());
  std::printf("%-11s %7s %6s %6s %9s   %6s %6s %9s\n", "dialect", "records", "read", "agree", "agreement", "sound",
              "agree", "agreement");
  for (const auto& [name, tally] : by_dialect) print_tally(name.c_str(), tally);
  print_tally("total", total);
  std::printf(
      "\n(read: records sqlglot reads, i.e. not unparsed / generate_error; sound: "
      "those of them\n without a flag marking a known sqlglot fault in the class: "
      "paren_query_not_query,\n union_wrapped, dropped_statements, nonnumeric_limit)\n");
  std::printf("\nOn the %d records sqlglot cannot read:", total.records - total.read);
  for (const auto& [name, n] : ours_on_unparsed) std::printf(" %s %d", name.c_str(), n);
  std::printf("\n\nDifferences (%zu, %d not in the allow-list):\n", differences.size(), unexplained);
  for (const std::string& line : differences) std::fputs(line.c_str(), stdout);
  return unexplained == 0 ? 0 : 1;
}
