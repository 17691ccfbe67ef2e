// What amctl takes of the machine for hostile inputs: the nesting depth is
// bounded, and the memory it holds stays within a fixed multiple of the
// input's size whatever the input's shape.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/tests/amctl_runner.h"

namespace tools_test {
namespace {

// The multiple of the input's size that the tool's memory may grow by. The
// parsed document takes at most 16 bytes per input byte; what is built from
// it (settings, the repository's classes) roughly as much again.
constexpr long kMaxBytesPerInputByte = 48;

// Repeats `item`, comma-separated, between `prefix` and `suffix` up to about
// `size` bytes.
std::string Fill(const std::string& prefix, const std::string& item, const std::string& suffix,
                 std::size_t size) {
  std::string text = prefix;
  while (text.size() + item.size() + suffix.size() < size) {
    if (text.size() > prefix.size()) text += ',';
    text += item;
  }
  return text + suffix;
}

std::string Numbered(const std::string& before, const std::string& after, std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) {
    if (!text.empty()) text += ',';
    text += before + std::to_string(i) + after;
  }
  return text;
}

bool Sanitized() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#endif
#endif
  return false;
}

TEST(InputLimitsTest, TenMegabytesOfOpeningBracketsAreRefusedAtTheDepthLimit) {
  TempDir dir;
  dir.Write("deep.json", std::string(10 << 20, '['));
  const RunResult run = RunAmctl({"settings", "encode", "deep.json", "-o", "out.bin"}, dir.path());
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.err, "amctl: deep.json: line 1, column 65: nested deeper than 64 levels\n");
  if (!Sanitized()) {
    // The text itself, and nothing that grows with its depth.
    EXPECT_LT(run.peak_rss_kb, 64 << 10);
  }
}

TEST(InputLimitsTest, MemoryStaysWithinAFixedMultipleOfTheInput) {
  if (Sanitized()) {
    GTEST_SKIP() << "a sanitizer's shadow memory, red zones and quarantine make the peak memory "
                    "of the process say nothing about the tool's own";
  }
  constexpr std::size_t kSize = 1 << 20;
  TempDir dir;
  dir.Write("tiny.json", R"({"rules": []})");
  dir.Write("tiny_scenario.json", R"({"profile": "P", "settings": {"rules": []}})");
  const long encode_base =
      RunAmctl({"settings", "encode", "tiny.json", "-o", "out.bin"}, dir.path()).peak_rss_kb;
  const long run_base = RunAmctl({"run", "tiny_scenario.json"}, dir.path()).peak_rss_kb;
  const std::string event = R"({"class": "ZRV_Event"})";
  const struct {
    const char* name;
    std::string text;
    bool scenario;
    int status;
  } cases[] = {
      // Millions of tiny values: refused before they take too much.
      {"empty arrays", Fill(R"({"rules": [)", "[]", "]}", kSize), false, 3},
      {"empty objects", Fill(R"({"rules": [)", "{}", "]}", kSize), false, 3},
      {"empty items",
       Fill(R"({"rules": [{"event": "E", "actions": [{"name": "a", "kind": "task", "items": [)",
            R"("")", "]}]}]}", kSize),
       false, 3},
      {"empty parameter pairs",
       Fill(
           R"({"rules": [{"event": "E", "actions": [{"name": "a", "kind": "builtin", "in_params": [)",
           "{}", "]}]}]}", kSize),
       false, 3},
      {"zeros", Fill(R"({"rules": [)", "0", "]}", kSize), false, 3},
      {"distinct keys", "{" + Numbered("\"k", "\": 0", kSize) + "}", false, 3},
      // Accepted, and as costly as accepted input gets.
      {"rules without actions", R"({"rules": [)" + Numbered(R"({"event": "E)", "\"}", kSize) + "]}",
       false, 0},
      {"built-in actions",
       R"({"rules": [{"event": "E", "actions": [)" +
           Numbered(R"({"name": "a)", R"(", "kind": "builtin", "key_params": [{}]})", kSize) +
           "]}]}",
       false, 0},
      {"a long text", R"({"rules": [{"event": ")" + std::string(kSize, 'x') + R"("}]})", false, 0},
      {"classes",
       R"({"profile": "P", "settings": {"rules": []}, "classes": [)" +
           Numbered(R"({"name": "C)", "\"}", kSize) + "]}",
       true, 0},
      {"events",
       Fill(R"({"profile": "P", "settings": {"rules": []}, "events": [)", event, "]}", kSize), true,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = dir.Write("input.json", c.text);
    const RunResult run =
        c.scenario ? RunAmctl({"run", input, "--jsonl"}, dir.path())
                   : RunAmctl({"settings", "encode", input, "-o", "out.bin"}, dir.path());
    EXPECT_EQ(run.status, c.status) << run.err.substr(0, 300);
    const long grown_kb = run.peak_rss_kb - (c.scenario ? run_base : encode_base);
    EXPECT_LE(grown_kb * 1024, kMaxBytesPerInputByte * static_cast<long>(c.text.size()))
        << grown_kb << " KB for " << c.text.size() << " bytes";
  }
}

TEST(InputLimitsTest, AnEventStreamIsHeldOneLineAtATime) {
  if (Sanitized()) {
    GTEST_SKIP() << "a sanitizer's shadow memory and quarantine make the peak memory of the "
                    "process say nothing about the tool's own";
  }
  TempDir dir;
  dir.Write("scenario.json", R"({"profile": "P", "settings": {"rules": []}})");
  const long base = RunAmctl({"run", "scenario.json", "--jsonl"}, dir.path()).peak_rss_kb;
  std::string lines;
  while (lines.size() < (1u << 20))
    lines += R"({"class": "ZRV_Event"})"
             "\n";
  dir.Write("events.txt", lines);
  const RunResult run =
      RunAmctl({"run", "scenario.json", "--jsonl", "--events", "events.txt"}, dir.path());
  EXPECT_EQ(run.status, 0) << run.err;
  // Neither the stream nor the transcript is kept: a few buffers at most.
  EXPECT_LT(run.peak_rss_kb - base, 4 << 10);
}

}  // namespace
}  // namespace tools_test
