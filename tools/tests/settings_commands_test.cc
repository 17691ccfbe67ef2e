// amctl settings encode / decode, driven through the built binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "settings/tests/test_util.h"
#include "tools/tests/amctl.h"

namespace tools_test {
namespace {

using ByteVec = settings_test::Bytes;
using settings_test::Cat;
using settings_test::Long;
using settings_test::Str;

// One action of each kind, every field given.
constexpr char kThreeKinds[] = R"({"rules": [{"event": "Disk_Full", "actions": [
  {"name": "restart", "kind": "builtin", "exec_limit": 1, "namespace": "root\\zrv", "class": "Service",
   "method": "Restart", "class_call": 0, "descriptive_name": "Restart it", "aux": "",
   "key_params": [{"param": "Name", "event_prop": "Drive"}],
   "in_params": [{"param": "Reason", "event_prop": "event_key"}]},
  {"name": "notify", "kind": "program", "exec_limit": 0, "command": "echo hi", "probe": "disk",
   "descriptive_name": "Tell", "aux": ""},
  {"name": "ticket", "kind": "task", "exec_limit": 0, "text1": "ab", "text2": "", "items": ["x", "y", ""]}]}]})";

class SettingsCommandTest : public ::testing::Test {
 protected:
  RunResult Encode(const std::string& json, const std::vector<std::string>& extra = {}) {
    dir_.Write("in.json", json);
    std::vector<std::string> args = {"settings", "encode", "in.json", "-o", "out.bin"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunAmctl(args, dir_.path());
  }
  ByteVec Output() const {
    const std::string bytes = dir_.Read("out.bin");
    return {bytes.begin(), bytes.end()};
  }
  RunResult Decode(const ByteVec& archive, const std::vector<std::string>& extra = {}) {
    dir_.Write("in.bin", archive);
    std::vector<std::string> args = {"settings", "decode", "in.bin"};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunAmctl(args, dir_.path());
  }

  RunResult EncodeTo(const std::string& out) {
    dir_.Write("in.json", R"({"rules": []})");
    return RunAmctl({"settings", "encode", "in.json", "-o", out}, dir_.path());
  }
  std::vector<std::string> Left() const {
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      left.push_back(entry.path().filename().string());
    }
    std::sort(left.begin(), left.end());
    return left;
  }

  TempDir dir_;
};

// The layouts themselves are settings/'s; here what amctl adds: the version
// flag, and a refusal that names the place and the version that would read it.
TEST_F(SettingsCommandTest, DecodeRejectsTrailingBytesAndWrongVersions) {
  ASSERT_EQ(Encode(kThreeKinds).status, 0);
  const ByteVec whole = Output();
  // An older built-in layout: one key pair as two strings, no key list.
  const ByteVec old_layout = Cat({Long(1), Str("E"), Long(1), Str("b"), Str("CBuiltInActionInfo"),
                                  ByteVec{2, 0}, Str("ns"), Str("Cls"), Str("M"), Long(0),
                                  Str("Name"), Str("Drive"), Str("d"), Str(""), Long(0)});
  const struct {
    ByteVec archive;
    std::string version;
    std::string expected_error;
    bool other_version_reads;  // the message names the version that reads it
  } cases[] = {
      // Two extra bytes; the current layout read as the old one; the old
      // layout read as the current one.
      {Cat({whole, {0xAB, 0xCD}}), "11",
       "amctl: in.bin: offset " + std::to_string(whole.size()) +
           ": 2 bytes remain after the settings record",
       false},
      {whole, "10", "amctl: in.bin: offset ", true},
      {old_layout, "11", "amctl: in.bin: offset ", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("read as " + c.version);
    const RunResult run = Decode(c.archive, {"--version", c.version});
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.expected_error), std::string::npos) << run.err;
    const std::string other = c.version == "11" ? "10" : "11";
    EXPECT_EQ(run.err.find("; the archive reads cleanly at version " + other) != std::string::npos,
              c.other_version_reads)
        << run.err;
  }
}

// The reader's and writer's own tables are scenario/'s (settings_json_test);
// here what amctl adds: files and standard input, and how a refusal is told.
TEST_F(SettingsCommandTest, ADashReadsStandardInputAndWhatDecodeWritesEncodeReads) {
  const RunResult encoded =
      RunAmctl({"settings", "encode", "-", "-o", "out.bin"}, dir_.path(), kThreeKinds);
  ASSERT_EQ(encoded.status, 0) << encoded.err;
  EXPECT_EQ(encoded.err, "");
  const std::string archive = dir_.Read("out.bin");
  const RunResult decoded = RunAmctl({"settings", "decode", "-"}, dir_.path(), archive);
  ASSERT_EQ(decoded.status, 0) << decoded.err;
  EXPECT_EQ(Json::parse(decoded.out)["rules"][0]["actions"].size(), 3u);
  EXPECT_EQ(Encode(decoded.out).status, 0);  // what decode writes, encode reads

  const RunResult cut =
      RunAmctl({"settings", "decode", "-"}, dir_.path(), archive.substr(0, archive.size() - 1));
  EXPECT_EQ(cut.status, 3);
  EXPECT_NE(cut.err.find("amctl: standard input: offset "), std::string::npos) << cut.err;
  const RunResult bad = RunAmctl({"settings", "encode", "-", "-o", "out.bin"}, dir_.path(), "[");
  EXPECT_EQ(bad.status, 3);
  EXPECT_NE(bad.err.find("amctl: standard input: line 1, column 2: syntax error"),
            std::string::npos)
      << bad.err;
  std::filesystem::remove(dir_.path() / "out.bin");
  const RunResult refused = Encode(R"({"rules": [{"event": "E", "actions": [{"name": "a"}]}]})");
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.err, "amctl: in.json: rules[0].actions[0].kind: is required\n");
  EXPECT_FALSE(std::filesystem::exists(dir_.path() / "out.bin"));
}

// Refusals say why on standard error; help and the version print nothing but
// themselves on standard output. The library's load notice shows only with -v.
TEST_F(SettingsCommandTest, FileProblemsAndUsageErrorsHaveTheirStatus) {
  const struct {
    const char* args;  // split at spaces
    int status;
    const char* shown;  // on standard error, or on standard output with status 0
  } cases[] = {
      {"settings decode missing.bin", 3,
       "amctl: missing.bin: cannot read: No such file or directory"},
      {"settings decode .", 3, "amctl: .: cannot read: Is a directory"},
      {"", 2, "A subcommand is required"},
      {"settings encode in.json", 2, "--output is required"},
      {"settings decode in.bin --version ten", 2, "--version"},
      // Only the layouts the tool knows.
      {"settings decode in.bin --version 12", 2, "--version: Value 12 not in range 1 to 11"},
      {"settings encode in.json -o x --version 0", 2, "not in range 1 to 11"},
      {"frobnicate", 2,
       "amctl: unknown command \"frobnicate\" (commands: settings, run, explain, test, demo"},
      {"settings transcode in.json", 2,
       "amctl: unknown command \"transcode\" (commands: settings encode, settings decode"},
      {"settings encode --help", 0, "--output"},
      {"--help", 0, "demo"},
      {"--version", 0, "amctl 1."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const RunResult run = RunAmctl(Words(c.args), dir_.path());
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE((c.status == 0 ? run.out : run.err).find(c.shown), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("ActionManager.dll"), std::string::npos) << run.err;
    EXPECT_TRUE(c.status != 0 || run.err.empty()) << run.err;
  }
  const RunResult verbose = Encode(R"({"rules": []})", {"-v"});
  EXPECT_EQ(verbose.status, 0);
  for (const char* notice : {"[3] ActionManager: Initializing ActionManager.dll",
                             "[3] ActionManager: Serialized 0 action rules",
                             "[3] ActionManager: Terminating ActionManager.dll"}) {
    EXPECT_NE(verbose.err.find(notice), std::string::npos) << verbose.err;
  }
}

TEST_F(SettingsCommandTest, DecodeSaysWhichActionsItLeavesOut) {
  // Loading leaves out an action whose class name names no action kind and
  // reads on from the next byte.
  const ByteVec archive =
      Cat({Long(1), Str("Disk_Full"), Long(2), Str("odd"), Str("CFooInfo"), Str("a"),
           Str("CProgramActionInfo"), ByteVec{0, 0, 1, 'c', 0, 0, 0}});
  const std::string warning =
      "amctl: in.bin: offset 22: rule \"Disk_Full\", action \"odd\": the class name "
      "\"CFooInfo\" names no action kind";
  const RunResult lenient = Decode(archive);
  EXPECT_EQ(lenient.status, 0);
  EXPECT_EQ(lenient.err, warning + "; the action is left out\n");
  const Json json = Json::parse(lenient.out);
  ASSERT_EQ(json["rules"][0]["actions"].size(), 1u);
  EXPECT_EQ(json["rules"][0]["actions"][0]["name"], "a");

  const RunResult strict = Decode(archive, {"--strict"});
  EXPECT_EQ(strict.status, 3);
  EXPECT_EQ(strict.err, warning + "\n");
  EXPECT_EQ(strict.out, "");
}

// Where encode writes: a path it cannot write fails naming it and leaves no
// temporary; a replaced file keeps its mode and a new one follows the umask;
// what is not a regular file is written in place.
TEST_F(SettingsCommandTest, OutputFilesAreReplacedWholeOrWrittenInPlace) {
  std::filesystem::create_directory(dir_.path() / "taken");
  for (const auto& [out, error] : {std::pair{"no/such/dir/out.bin", "No such file or directory"},
                                   std::pair{"taken", "Is a directory"}}) {
    SCOPED_TRACE(out);
    const RunResult run = EncodeTo(out);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("amctl: " + std::string(out) + ": cannot write: " + error),
              std::string::npos)
        << run.err;
  }
  EXPECT_EQ(Left(), (std::vector<std::string>{"in.json", "taken"}));

  const std::string kept = dir_.Write("kept.bin", "old");
  ASSERT_EQ(::chmod(kept.c_str(), 0600), 0);
  ASSERT_EQ(EncodeTo("kept.bin").status, 0);
  struct stat info {};
  ASSERT_EQ(::lstat(kept.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(Bytes(dir_.Read("kept.bin")), Long(0));
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ASSERT_EQ(EncodeTo("new.bin").status, 0);
  ASSERT_EQ(::lstat((dir_.path() / "new.bin").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0666u & ~mask);

  // A symbolic link stays a link; its target gets the archive.
  dir_.Write("target.bin", "old");
  std::filesystem::create_symlink("target.bin", dir_.path() / "link.bin");
  RunResult run = EncodeTo("link.bin");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::filesystem::is_symlink(dir_.path() / "link.bin"));
  EXPECT_EQ(Bytes(dir_.Read("target.bin")), Long(0));

  // A FIFO stays a FIFO, and its reader gets the archive. The reader opens
  // first without blocking, so the writer's open does not wait, and a FIFO
  // wrongly replaced shows as nothing received instead of a hang.
  const std::string fifo = (dir_.path() / "pipe").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  run = EncodeTo("pipe");
  char received[16];
  const ssize_t got = ::read(reader, received, sizeof received);
  ::close(reader);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::filesystem::is_fifo(fifo));
  EXPECT_EQ(Bytes(std::string(received, got > 0 ? static_cast<std::size_t>(got) : 0)), Long(0));

  // A character device stays one (as root, renaming over /dev/null would
  // succeed and destroy it; as anyone else it would fail).
  run = EncodeTo("/dev/null");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));

  // "-" is standard output, not a file of that name.
  run = EncodeTo("-");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Bytes(run.out), Long(0));
  EXPECT_EQ(Left(), (std::vector<std::string>{"in.json", "kept.bin", "link.bin", "new.bin", "pipe",
                                              "taken", "target.bin"}));
}

}  // namespace
}  // namespace tools_test
