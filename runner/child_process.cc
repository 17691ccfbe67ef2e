#include "runner/child_process.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "runner/command_line.h"
#include "runner/current_directory.h"
#include "runner/platform/environment.h"
#include "runner/platform/pipes.h"
#include "runner/platform/spawn.h"
#include "runner/process_start_hook_internal.h"

namespace runner {
namespace {

using platform::AgentEnd;
using platform::Clock;
using platform::IoStatus;
using platform::PollItem;
using platform::WaitStatus;

std::atomic<std::int32_t> g_child_wait_ms{kChildWaitMs};
std::atomic<std::int32_t> g_reader_wait_ms{kReaderWaitMs};

// How long the readers may go on once a run is being ended early (time-out,
// abandoned record): enough to take what a killed child left in its pipes,
// short enough not to hold up cleanup.
constexpr std::int32_t kStopGraceMs = 100;

// Captures are bounded well below what 32-bit sizes could overflow.
constexpr std::int32_t kLargestCapture = 1 << 28;

// What a discarding reader reads at a time.
constexpr std::size_t kDrainChunk = 16384;

Clock::time_point After(std::int32_t ms) { return Clock::now() + std::chrono::milliseconds(ms); }

// Readies a capture channel for a run: 0 stands for 1024, the maximum is at
// least the initial size, both stay within kLargestCapture.
void PrepareCapture(StreamChannel& channel) {
  if (channel.initial_size <= 0) channel.initial_size = 1024;
  channel.initial_size = std::min(channel.initial_size, kLargestCapture);
  channel.maximum_size = std::clamp(channel.maximum_size, channel.initial_size, kLargestCapture);
  channel.data.reset();
  channel.length = 0;
  channel.progress = {};
}

// Ends a reader: closes its pipe and terminates the capture, which becomes
// null when nothing was captured.
void EndReader(StreamChannel& channel) {
  channel.pipe.Reset();
  if (channel.length == 0) {
    channel.data.reset();
  } else {
    channel.data.get()[channel.length] = '\0';
  }
}

// Makes room for the next read: the first buffer, or one step more once the
// buffer is full and still below the maximum. When no room can be made the
// reader only drains from then on (a failed growth keeps what was captured).
void MakeRoom(StreamChannel& channel) {
  StreamChannel::Progress& progress = channel.progress;
  const std::int32_t step = channel.initial_size;
  if (!channel.data) {
    channel.data.reset(static_cast<char*>(std::malloc(static_cast<std::size_t>(step) + 1)));
    if (channel.data) {
      progress.capacity = step;
    } else {
      progress.discarding = true;
    }
    return;
  }
  if (channel.length < progress.capacity) return;
  if (progress.capacity < channel.maximum_size) {
    const std::size_t grown_size = static_cast<std::size_t>(progress.capacity) + step + 1;
    if (char* grown = static_cast<char*>(std::realloc(channel.data.get(), grown_size))) {
      (void)channel.data.release();
      channel.data.reset(grown);
      progress.capacity += step;
      return;
    }
  }
  progress.discarding = true;
}

// Takes what the pipe holds now. False once the reader is done (end of file or
// a read error); it has then been ended.
bool ReadAvailable(StreamChannel& channel) {
  char sink[kDrainChunk];
  for (;;) {
    if (!channel.progress.discarding) MakeRoom(channel);
    char* into = sink;
    std::size_t room = sizeof sink;
    if (!channel.progress.discarding) {
      into = channel.data.get() + channel.length;
      room = static_cast<std::size_t>(channel.progress.capacity - channel.length);
    }
    const platform::IoResult r = platform::ReadPipe(channel.pipe.Get(), into, room);
    if (r.status == IoStatus::kWouldBlock) return true;
    if (r.status != IoStatus::kOk) {
      EndReader(channel);
      return false;
    }
    if (!channel.progress.discarding) channel.length += static_cast<std::int32_t>(r.bytes);
    // A short read has most likely emptied the pipe: wait for more rather than
    // pay for a read that would only report so.
    if (r.bytes < room) return true;
  }
}

// Writes what the pipe takes now. False once the writer is done (everything
// written, or the child no longer reads); its pipe is then closed, which gives
// the child end-of-file.
bool WriteAvailable(StreamChannel& channel, const platform::SigpipeBlock& block) {
  for (;;) {
    const std::int32_t left =
        channel.input != nullptr ? channel.length - channel.progress.written : 0;
    if (left <= 0) break;
    const platform::IoResult r =
        platform::WritePipe(channel.pipe.Get(), channel.input + channel.progress.written,
                            static_cast<std::size_t>(left), block);
    if (r.status == IoStatus::kWouldBlock) return true;
    if (r.status != IoStatus::kOk) break;
    channel.progress.written += static_cast<std::int32_t>(r.bytes);
  }
  channel.pipe.Reset();
  return false;
}

// The channels a poll round looks at, in the order of their items.
struct PollRound {
  std::array<PollItem, platform::kMaxPollItems> items;
  std::array<StreamChannel*, platform::kMaxPollItems> channels{};
  std::size_t count = 0;

  std::size_t Add(int fd, bool write, StreamChannel* channel) {
    items[count] = PollItem{fd, write, false};
    channels[count] = channel;
    return count++;
  }
};

// Reads the pipes of `record` that are still open until each reaches its end
// or `deadline` passes; readers still open then are ended with what they have.
void DrainReaders(ChildProcess& record, Clock::time_point deadline) {
  for (;;) {
    PollRound round;
    for (StreamChannel* channel : {&record.output, &record.error}) {
      if (channel->pipe.Valid()) round.Add(channel->pipe.Get(), false, channel);
    }
    if (round.count == 0) return;
    int ignored = 0;
    if (platform::WaitReady({round.items.data(), round.count}, deadline, &ignored) !=
        WaitStatus::kReady) {
      break;
    }
    for (std::size_t i = 0; i < round.count; ++i) {
      if (round.items[i].ready) ReadAvailable(*round.channels[i]);
    }
  }
  for (StreamChannel* channel : {&record.output, &record.error}) {
    if (channel->pipe.Valid()) EndReader(*channel);
  }
}

// The environment block as the null-terminated pointer array that exec takes.
std::vector<char*> EnvironmentPointers(const CEnvBlock& block) {
  std::vector<char*> pointers;
  for (std::string_view entry : block.Entries())
    pointers.push_back(const_cast<char*>(entry.data()));
  pointers.push_back(nullptr);
  return pointers;
}

// What the child of `record` would get, for the start hook.
AmProcessStart DescribeStart(const std::string& command_line,
                             const std::vector<std::string>& arguments,
                             const std::vector<char*>& environment, const ChildProcess& record) {
  AmProcessStart start;
  start.command_line = command_line;
  start.arguments = arguments;
  char* const* entries = environment.empty() ? platform::ProcessEnvironment() : environment.data();
  for (; entries != nullptr && *entries != nullptr; ++entries)
    start.environment.emplace_back(*entries);
  start.directory =
      record.current_directory.empty() ? GetCurrentDirectoryText() : record.current_directory;
  if (record.input.enabled && record.input.input != nullptr && record.input.length > 0) {
    start.input.assign(record.input.input, static_cast<std::size_t>(record.input.length));
  }
  return start;
}

// Leaves `text` in the record's output channel as if a child had printed it.
bool LeaveRecordedOutput(const std::string& text, ChildProcess& record) {
  if (record.error.enabled) PrepareCapture(record.error);
  if (!record.output.enabled) return true;
  PrepareCapture(record.output);
  if (text.empty()) return true;
  const std::size_t kept =
      std::min(text.size(), static_cast<std::size_t>(record.output.maximum_size));
  CaptureBuffer buffer(static_cast<char*>(std::malloc(kept + 1)));
  if (!buffer) return false;
  std::memcpy(buffer.get(), text.data(), kept);
  buffer.get()[kept] = '\0';
  record.output.data = std::move(buffer);
  record.output.length = static_cast<std::int32_t>(kept);
  return true;
}

bool HoldsRun(const ChildProcess& record) {
  return record.process_information.process.Valid() || record.output.pipe.Valid() ||
         record.error.pipe.Valid() || record.input.pipe.Valid();
}

}  // namespace

ChildProcess::~ChildProcess() { CleanupChildProcess(*this); }

void SetChildProcessLimitsForTesting(std::int32_t child_wait_ms, std::int32_t reader_wait_ms) {
  g_child_wait_ms = child_wait_ms > 0 ? child_wait_ms : kChildWaitMs;
  g_reader_wait_ms = reader_wait_ms > 0 ? reader_wait_ms : kReaderWaitMs;
}

namespace {

// Both public forms end here; `command_line` is what the start hook is shown
// as the line the arguments came from (empty for an argument list).
int StartSplitChildProcess(const std::string& command_line,
                           const std::vector<std::string>& arguments, ChildProcess& record) {
  if (HoldsRun(record)) return kStartPipeFailed;
  record.process_information = ProcessInformation();
  record.reader_wait_ms = g_reader_wait_ms.load();

  std::vector<char*> environment;
  if (record.environment != nullptr && record.environment->Data() != nullptr) {
    environment = EnvironmentPointers(*record.environment);
  }
  // The hook is asked before any descriptor exists, so that a start it
  // replaces leaves nothing behind.
  if (const auto hook = CurrentProcessStartHook()) {
    std::optional<std::string> answer;
    try {
      answer = (*hook)(DescribeStart(command_line, arguments, environment, record));
    } catch (...) {
      // A host that cannot say whether the program may start has not let it.
      return kStartProcessFailed;
    }
    if (answer) return LeaveRecordedOutput(*answer, record) ? kStartOk : kStartPipeFailed;
  }

  UniqueFd child_input;
  UniqueFd child_output;
  UniqueFd child_error;
  bool pipes_ok = true;
  if (record.input.enabled) {
    pipes_ok = platform::MakePipe(AgentEnd::kWrite, &record.input.pipe, &child_input);
  }
  if (pipes_ok && record.output.enabled) {
    pipes_ok = platform::MakePipe(AgentEnd::kRead, &record.output.pipe, &child_output);
  }
  if (pipes_ok && record.error.enabled) {
    pipes_ok = platform::MakePipe(AgentEnd::kRead, &record.error.pipe, &child_error);
  }
  if (!pipes_ok) {
    CleanupChildProcess(record);
    return kStartPipeFailed;
  }

  platform::SpawnRequest request;
  request.arguments = &arguments;
  request.environment = environment.empty() ? nullptr : environment.data();
  request.input_fd = child_input.Get();
  request.output_fd = child_output.Get();
  request.error_fd = child_error.Get();
  request.directory = record.current_directory.empty() ? nullptr : record.current_directory.c_str();
  std::int32_t pid = 0;
  const int spawned = platform::SpawnProcess(request, &pid);
  const bool created = spawned == 0;
  // The child's ends must be closed here, or the readers would never see
  // end-of-file and the child never see the end of its input.
  child_input.Reset();
  child_output.Reset();
  child_error.Reset();
  if (!created) {
    CleanupChildProcess(record);
    record.process_information.start_error = spawned;
    return kStartProcessFailed;
  }
  ProcessInformation& info = record.process_information;
  info.process_id = pid;
  if (!platform::OpenProcessHandle(pid, &info.process)) {
    // Without a handle the child cannot be waited for with a limit: end it now.
    int ignored = 0;
    platform::KillProcessGroup(pid);
    platform::ReapProcess(pid, true, &ignored, &ignored);
    info.reaped = true;
    CleanupChildProcess(record);
    return kStartPipeFailed;
  }

  if (record.output.enabled) PrepareCapture(record.output);
  if (record.error.enabled) PrepareCapture(record.error);
  if (record.input.enabled) {
    // Most inputs fit in the pipe: the child can read them before its owner
    // even waits, and the pipe is closed here.
    record.input.progress = {};
    const platform::SigpipeBlock no_sigpipe;
    WriteAvailable(record.input, no_sigpipe);
  }
  return kStartOk;
}

}  // namespace

int StartChildProcess(const std::string& command_line, ChildProcess& record) {
  return StartSplitChildProcess(command_line, SplitCommandLine(command_line), record);
}

int StartChildProcess(const std::vector<std::string>& arguments, ChildProcess& record) {
  return StartSplitChildProcess(std::string(), arguments, record);
}

int WaitChildProcess(ChildProcess& record) {
  ProcessInformation& info = record.process_information;
  if (!info.process.Valid()) return 0;
  // Only a thread that still has input to write needs SIGPIPE held off.
  std::optional<platform::SigpipeBlock> no_sigpipe;
  if (record.input.pipe.Valid()) no_sigpipe.emplace();

  const Clock::time_point child_deadline =
      After(record.child_wait_ms > 0 ? record.child_wait_ms : g_child_wait_ms.load());
  Clock::time_point reader_deadline = Clock::time_point::max();
  bool ended = false;    // the child has ended and is reaped; `code` is its exit code
  bool cut_off = false;  // readers still open are ended as they are, without grace
  int code = 0;
  for (;;) {
    PollRound round;
    for (StreamChannel* channel : {&record.output, &record.error}) {
      if (channel->pipe.Valid()) round.Add(channel->pipe.Get(), false, channel);
    }
    const bool reading = round.count > 0;
    if (record.input.pipe.Valid()) round.Add(record.input.pipe.Get(), true, &record.input);
    if (ended && !reading) break;  // input nobody reads any more is dropped at cleanup
    // The process stays the last item: its readiness is looked at below.
    std::size_t cancel_item = round.items.size();
    if (!ended && record.cancel_fd >= 0) cancel_item = round.Add(record.cancel_fd, false, nullptr);
    if (!ended) round.Add(info.process.Get(), false, nullptr);

    int error = 0;
    const WaitStatus status = platform::WaitReady({round.items.data(), round.count},
                                                  ended ? reader_deadline : child_deadline, &error);
    if (status == WaitStatus::kTimedOut) {
      if (!ended) {
        code = ETIMEDOUT;
        info.end = RunEnd::kTimedOut;
      }
      cut_off = ended;
      break;
    }
    if (status == WaitStatus::kFailed) {
      if (!ended) {
        code = error != 0 ? error : 1;
        info.end = RunEnd::kWaitFailed;
      }
      break;
    }
    for (std::size_t i = 0; i < round.count; ++i) {
      if (!round.items[i].ready) continue;
      StreamChannel* channel = round.channels[i];
      if (channel == &record.input) {
        WriteAvailable(*channel, *no_sigpipe);
      } else if (channel != nullptr) {
        ReadAvailable(*channel);
      }
    }
    if (!ended && round.items[round.count - 1].ready) {
      int signal_number = 0;
      if (platform::ReapProcess(info.process_id, true, &code, &error, &signal_number) !=
          platform::ProcessWait::kExited) {
        code = error != 0 ? error : 1;
        info.end = RunEnd::kWaitFailed;
        break;
      }
      info.reaped = true;
      info.end = signal_number != 0 ? RunEnd::kSignalled : RunEnd::kExited;
      info.exit_status = signal_number != 0 ? signal_number : code;
      ended = true;
      reader_deadline = After(record.reader_wait_ms);
    } else if (cancel_item < round.count && round.items[cancel_item].ready) {
      // Cleanup kills the group, as after a time-out.
      code = ECANCELED;
      info.end = RunEnd::kCancelled;
      break;
    }
  }
  if (cut_off) {
    // The readers' limit after the child's end has passed (a grandchild holds
    // a pipe): they keep what they have.
    for (StreamChannel* channel : {&record.output, &record.error}) {
      if (channel->pipe.Valid()) EndReader(*channel);
    }
  }
  if (ended && code == 0 && record.error.length > 0) code = 1;
  CleanupChildProcess(record);
  return code;
}

void CleanupChildProcess(ChildProcess& record) {
  ProcessInformation& info = record.process_information;
  bool must_reap = false;
  if (info.process_id > 0 && !info.reaped) {
    int ignored = 0;
    if (platform::ReapProcess(info.process_id, false, &ignored, &ignored) ==
        platform::ProcessWait::kTimedOut) {
      // Still running: end the whole group first, so that the readers reach
      // end-of-file instead of being cut off.
      platform::KillProcessGroup(info.process_id);
      must_reap = true;
    } else {
      info.reaped = true;
    }
  }
  record.input.pipe.Reset();
  if (info.process.Valid()) {
    DrainReaders(record, After(kStopGraceMs));
  } else {
    // No run got going (a failed start): there is nothing to read.
    record.output.pipe.Reset();
    record.error.pipe.Reset();
  }
  if (must_reap) {
    int ignored = 0;
    platform::ReapProcess(info.process_id, true, &ignored, &ignored);
    info.reaped = true;
  }
  info.process.Reset();
}

}  // namespace runner
