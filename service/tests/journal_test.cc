// The journal on its own: what comes back after a stop, a crash or a torn
// write, compaction, the bound, and what a failing disk does (through a fake
// of its file operations).
#include "service/journal.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <mutex>

#include "service/log.h"
#include "testing/daemon.h"

namespace service {
namespace {

using ::testing::ElementsAre;
using ::testing::Field;

std::vector<Journal::Unfinished> Reopen(const std::filesystem::path& dir,
                                        std::uint64_t max_bytes = 1 << 20,
                                        std::uint64_t segment_bytes = 1 << 20) {
  Journal journal;
  std::vector<Journal::Unfinished> unfinished;
  std::string error;
  EXPECT_TRUE(journal.Open(dir, max_bytes, segment_bytes, {}, &unfinished, &error)) << error;
  return unfinished;
}

std::uint64_t Submit(Journal& journal, const std::string& payload) {
  std::uint64_t seq = 0;
  EXPECT_EQ(journal.Submit({payload}, &seq), Journal::SubmitResult::kOk);
  EXPECT_TRUE(journal.WaitDurable(seq));
  return seq;
}

class JournalTest : public ::testing::Test {
 protected:
  amtest::TempDir dir_;
};

TEST_F(JournalTest, UnfinishedEventsComeBackInOrderWithTheirNumbers) {
  {
    Journal journal;
    std::vector<Journal::Unfinished> none;
    std::string error;
    ASSERT_TRUE(journal.Open(dir_.path(), 1 << 20, 1 << 20, {}, &none, &error)) << error;
    EXPECT_TRUE(none.empty());
    std::uint64_t first = 0;
    ASSERT_EQ(journal.Submit({"a", "b", "c"}, &first), Journal::SubmitResult::kOk);
    EXPECT_EQ(first, 1u);
    ASSERT_TRUE(journal.WaitDurable(3));
    journal.Finish(2);
    journal.Finish(99);  // unknown: ignored
  }
  const auto unfinished = Reopen(dir_.path());
  EXPECT_THAT(unfinished, ElementsAre(Field(&Journal::Unfinished::payload, "a"),
                                      Field(&Journal::Unfinished::payload, "c")));
  EXPECT_EQ(unfinished[1].seq, 3u);
  // Numbering goes on after the highest number ever given, finished or not.
  Journal journal;
  std::vector<Journal::Unfinished> again;
  std::string error;
  ASSERT_TRUE(journal.Open(dir_.path(), 1 << 20, 1 << 20, {}, &again, &error));
  journal.Finish(1);
  journal.Finish(3);
  EXPECT_EQ(Submit(journal, "d"), 4u);
  journal.Finish(4);
  journal.Close();
  EXPECT_TRUE(Reopen(dir_.path()).empty());
  Journal last;
  ASSERT_TRUE(last.Open(dir_.path(), 1 << 20, 1 << 20, {}, &again, &error));
  EXPECT_EQ(Submit(last, "e"), 5u);
}

TEST_F(JournalTest, ATornTailIsIgnoredAndEverythingBeforeItKept) {
  {
    Journal journal;
    std::vector<Journal::Unfinished> none;
    std::string error;
    ASSERT_TRUE(journal.Open(dir_.path(), 1 << 20, 1 << 20, {}, &none, &error));
    Submit(journal, "kept");
    Submit(journal, "torn");
  }
  // Cut the last record at every length, and also flip a byte in it.
  std::filesystem::path segment;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    if (entry.path().extension() == ".log") segment = entry.path();
  }
  std::string bytes;
  {
    std::ifstream in(segment, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  const std::size_t last_record = bytes.size() - (8 + 9 + 4);
  for (std::size_t cut = last_record; cut < bytes.size(); ++cut) {
    SCOPED_TRACE(cut);
    for (const bool flip : {false, true}) {
      amtest::TempDir copy;
      std::string damaged = bytes.substr(0, flip ? bytes.size() : cut);
      if (flip) damaged[cut] = static_cast<char>(damaged[cut] ^ 0x40);
      std::ofstream(copy.path() / segment.filename(), std::ios::binary) << damaged;
      const auto unfinished = Reopen(copy.path());
      ASSERT_EQ(unfinished.size(), 1u);
      EXPECT_EQ(unfinished[0].payload, "kept");
    }
  }
}

TEST_F(JournalTest, CompactionKeepsOneSegmentWithTheUnfinishedEvents) {
  Journal journal;
  std::vector<Journal::Unfinished> none;
  std::string error;
  ASSERT_TRUE(journal.Open(dir_.path(), 1 << 20, 4096, {}, &none, &error));
  const std::string payload(100, 'p');
  std::uint64_t keep = Submit(journal, "keep me");
  for (int i = 0; i < 200; ++i) journal.Finish(Submit(journal, payload));
  EXPECT_LT(journal.file_bytes(), 4096u + 200u);
  std::size_t segments = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
    if (entry.path().extension() == ".log") ++segments;
  }
  EXPECT_EQ(segments, 1u);
  EXPECT_EQ(journal.live_count(), 1u);
  journal.Close();
  const auto unfinished = Reopen(dir_.path());
  ASSERT_EQ(unfinished.size(), 1u);
  EXPECT_EQ(unfinished[0].seq, keep);
}

TEST_F(JournalTest, TheBoundRefusesWholeBatchesUntilEventsFinish) {
  Journal journal;
  std::vector<Journal::Unfinished> none;
  std::string error;
  ASSERT_TRUE(journal.Open(dir_.path(), 1000, 4096, {}, &none, &error));
  const std::string payload(300, 'x');
  std::uint64_t first = 0;
  ASSERT_EQ(journal.Submit({payload, payload}, &first), Journal::SubmitResult::kOk);
  std::uint64_t ignored = 0;
  EXPECT_EQ(journal.Submit({payload, payload}, &ignored), Journal::SubmitResult::kFull);
  EXPECT_EQ(journal.live_count(), 2u);
  journal.Finish(first);
  EXPECT_EQ(journal.Submit({payload}, &ignored), Journal::SubmitResult::kOk);
  EXPECT_EQ(ignored, first + 2);
}

TEST_F(JournalTest, TheHookRunsBeforeFinishedRecordsAreWrittenAndNotForAcceptance) {
  Journal journal;
  std::vector<Journal::Unfinished> none;
  std::string error;
  std::atomic<int> calls{0};
  ASSERT_TRUE(journal.Open(dir_.path(), 1 << 20, 1 << 20, [&] { ++calls; }, &none, &error));
  const int after_open = calls.load();
  const std::uint64_t seq = Submit(journal, "one");
  EXPECT_EQ(calls.load(), after_open);  // an acknowledgement costs one sync
  journal.Finish(seq);
  journal.Close();
  EXPECT_GT(calls.load(), after_open);
  EXPECT_TRUE(Reopen(dir_.path()).empty());
}

// The system's file operations, except that from the `after`th call on of
// the chosen operation, it fails with `error`.
class FailingIo : public PosixJournalIo {
 public:
  enum class Op { kWrite, kFdatasync, kOpen };
  FailingIo(Op op, int after, int error) : op_(op), left_(after), error_(error) {}

  int Open(const std::filesystem::path& path, int flags, mode_t mode) override {
    return Fails(Op::kOpen) ? -1 : PosixJournalIo::Open(path, flags, mode);
  }
  ssize_t Write(int fd, const void* data, std::size_t size) override {
    return Fails(Op::kWrite) ? -1 : PosixJournalIo::Write(fd, data, size);
  }
  int Fdatasync(int fd) override { return Fails(Op::kFdatasync) ? -1 : PosixJournalIo::Fdatasync(fd); }

 private:
  bool Fails(Op op) {
    if (op != op_ || left_-- > 0) return false;
    errno = error_;
    return true;
  }
  Op op_;
  int left_;
  int error_;
};

TEST_F(JournalTest, AFailingDiskIsLoggedWithItsErrnoAndStopsAcceptance) {
  struct Case {
    const char* name;
    FailingIo::Op op;
    int error;
    std::string logged;
  };
  // Open makes the first segment with one write of its base record and one
  // sync; the failures hit the first batch after it.
  const Case cases[] = {
      {"a full disk", FailingIo::Op::kWrite, ENOSPC, "cannot write"},
      {"an I/O error", FailingIo::Op::kWrite, EIO, "cannot write"},
      {"a failing fdatasync", FailingIo::Op::kFdatasync, EIO, "cannot sync"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    amtest::TempDir dir;
    std::mutex mu;
    std::string log;
    SetLogTee([&](int, const std::string&, const std::string& message) {
      std::lock_guard<std::mutex> lock(mu);
      log += message + "\n";
    });
    FailingIo io(c.op, 1, c.error);
    Journal journal(&io);
    std::vector<Journal::Unfinished> none;
    std::string error;
    ASSERT_TRUE(journal.Open(dir.path(), 1 << 20, 1 << 20, {}, &none, &error)) << error;
    std::uint64_t seq = 0;
    ASSERT_EQ(journal.Submit({"lost"}, &seq), Journal::SubmitResult::kOk);
    EXPECT_FALSE(journal.WaitDurable(seq));
    std::uint64_t ignored = 0;
    EXPECT_EQ(journal.Submit({"next"}, &ignored), Journal::SubmitResult::kFailed);
    journal.Close();
    SetLogTee({});
    const std::string expected = c.logged + " " + (dir.path() / "journal-000000000001.log").string() +
                                 ": " + std::strerror(c.error) + " (errno " +
                                 std::to_string(c.error) + ")";
    EXPECT_THAT(log, ::testing::HasSubstr(expected));
  }
}

TEST_F(JournalTest, AFolderThatCannotTakeASegmentIsRefusedAtOpenWithItsErrno) {
  FailingIo io(FailingIo::Op::kOpen, 0, ENOSPC);
  Journal journal(&io);
  std::vector<Journal::Unfinished> none;
  std::string error;
  EXPECT_FALSE(journal.Open(dir_.path(), 1 << 20, 1 << 20, {}, &none, &error));
  EXPECT_THAT(error, ::testing::HasSubstr("(errno " + std::to_string(ENOSPC) + ")"));
}

}  // namespace
}  // namespace service
