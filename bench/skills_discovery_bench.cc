// Skill discovery speed: listing a skills root of 10,000 skills of about 2 KB each (on
// disk, warm page cache), reading one SKILL.md, the front-matter match over 10 MiB, and
// front matters whose aliases would expand enormously.
//
//   build/bench/skills_discovery_bench --benchmark_filter=ListSkills
//
// The tree is created once per run under $TMPDIR and removed at exit.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "velko/middleware/skills/discovery.h"
#include "velko/middleware/skills/frontmatter.h"

namespace {
namespace fs = std::filesystem;
namespace skills = velko::middleware::skills;

constexpr int kSkillCount = 10000;
constexpr size_t kSkillFileSize = 2048;

std::string skill_text(int index) {
  char name[32];
  std::snprintf(name, sizeof name, "skill-%05d", index);
  std::string text = std::string("---\nname: ") + name +
                     "\ndescription: Profile a warehouse table - row counts, null rates, distinct values and "
                     "value ranges per column - before analysing it.\n---\n\n# " +
                     name + "\n\n";
  const std::string line = "1. Run `execute_sql_query` with an aggregate and compare it with the source.\n";
  while (text.size() + line.size() <= kSkillFileSize) text += line;
  text.append(kSkillFileSize - text.size(), '.');
  return text;
}

class SkillTree {
 public:
  SkillTree() {
    std::string pattern = (fs::temp_directory_path() / "velko-skills-bench-XXXXXX").string();
    root_ = ::mkdtemp(pattern.data());
    for (int index = 0; index < kSkillCount; ++index) {
      char dir[32];
      std::snprintf(dir, sizeof dir, "skill-%05d", index);
      fs::create_directories(root_ / "skills" / dir);
      std::ofstream(root_ / "skills" / dir / "SKILL.md", std::ios::binary) << skill_text(index);
    }
  }
  ~SkillTree() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  fs::path skills_root() const { return root_ / "skills"; }
  fs::path one_skill() const { return root_ / "skills" / "skill-00000" / "SKILL.md"; }

 private:
  fs::path root_;
};

const SkillTree& tree() {
  static SkillTree instance;
  return instance;
}

void BM_ListSkills10k(benchmark::State& state) {
  const fs::path root = tree().skills_root();
  size_t found = skills::_list_skills(root).size();  // warms the page cache
  if (found != static_cast<size_t>(kSkillCount)) state.SkipWithError("not every skill was found");
  for (auto _ : state) {
    auto listed = skills::_list_skills(root);
    benchmark::DoNotOptimize(listed.data());
  }
  state.counters["skills"] = static_cast<double>(found);
}
BENCHMARK(BM_ListSkills10k)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3.0);

void BM_ParseOneSkill(benchmark::State& state) {
  const fs::path path = tree().one_skill();
  for (auto _ : state) {
    auto skill = skills::_parse_skill_metadata(path);
    benchmark::DoNotOptimize(skill);
  }
}
BENCHMARK(BM_ParseOneSkill)->Unit(benchmark::kMicrosecond);

void BM_ReadFrontMatterOnly(benchmark::State& state) {
  const std::string text = skill_text(1);
  for (auto _ : state) {
    auto fields = skills::read_front_matter(text, skills::MAX_SKILL_DESCRIPTION_LENGTH, skills::MAX_SKILL_FILE_SIZE);
    benchmark::DoNotOptimize(fields);
  }
}
BENCHMARK(BM_ReadFrontMatterOnly)->Unit(benchmark::kMicrosecond);

std::string ten_mebibytes() {
  std::string body(10 * 1024 * 1024 - 64, 'x');
  for (size_t idx = 80; idx < body.size(); idx += 81) body[idx] = '\n';
  return body;
}

// Arg 0: no front matter; 1: a small front matter then 10 MiB of body; 2: an opening line
// and never a closing one.
void BM_MatchFrontMatter10MiB(benchmark::State& state) {
  std::string text = ten_mebibytes();
  if (state.range(0) == 1) text = "---\nname: a\ndescription: b\n---\n" + text;
  if (state.range(0) == 2) text = "---\n" + text;
  for (auto _ : state) {
    auto group = skills::match_front_matter(text);
    benchmark::DoNotOptimize(group);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_MatchFrontMatter10MiB)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// The whole read of a 10 MiB SKILL.md from disk: size check, read, UTF-8 check and line
// ends, match, YAML of the small front matter.
void BM_ParseSkillMetadata10MiB(benchmark::State& state) {
  static const fs::path path = [] {
    fs::path file = tree().skills_root().parent_path() / "big" / "SKILL.md";
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << "---\nname: big\ndescription: A big skill\n---\n" << ten_mebibytes();
    return file;
  }();
  for (auto _ : state) {
    auto skill = skills::_parse_skill_metadata(path);
    if (!skill) state.SkipWithError("the big skill was skipped");
    benchmark::DoNotOptimize(skill);
  }
}
BENCHMARK(BM_ParseSkillMetadata10MiB)->Unit(benchmark::kMillisecond);

// Ten levels of ten aliases (10^10 items if expanded). Arg 0: as the description, cut at
// 1024 characters; 1: as the name, refused.
void BM_AliasBomb(benchmark::State& state) {
  std::string yaml = "a0: &a0 [lol, lol, lol, lol, lol, lol, lol, lol, lol, lol]\n";
  for (int level = 1; level < 10; ++level) {
    std::string prev = "*a" + std::to_string(level - 1);
    yaml += "a" + std::to_string(level) + ": &a" + std::to_string(level) + " [" + prev;
    for (int idx = 1; idx < 10; ++idx) yaml += ", " + prev;
    yaml += "]\n";
  }
  const std::string text =
      "---\n" + yaml + (state.range(0) == 0 ? "name: n\ndescription: *a9" : "name: *a9\ndescription: d") + "\n---\n";
  for (auto _ : state) {
    try {
      auto fields = skills::read_front_matter(text, skills::MAX_SKILL_DESCRIPTION_LENGTH, skills::MAX_SKILL_FILE_SIZE);
      benchmark::DoNotOptimize(fields);
    } catch (const skills::YAMLError&) {
    }
  }
}
BENCHMARK(BM_AliasBomb)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
