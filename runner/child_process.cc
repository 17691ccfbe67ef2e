#include "runner/child_process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <vector>

#include "runner/command_line.h"
#include "runner/platform/pipes.h"
#include "runner/platform/spawn.h"

namespace runner {
namespace {

using platform::AgentEnd;
using platform::IoStatus;
using platform::WorkerWatch;

std::atomic<std::int32_t> g_child_wait_ms{kChildWaitMs};
std::atomic<std::int32_t> g_reader_wait_ms{kReaderWaitMs};

// How long a worker may go on after it has been told to stop: enough to take
// what a killed child left in its pipe, short enough not to hold up cleanup.
constexpr std::int32_t kStopGraceMs = 100;

// Captures are bounded well below what 32-bit sizes could overflow.
constexpr std::int32_t kLargestCapture = 1 << 28;

// Reads the rest of a pipe and throws it away, within the watch's limits.
void DrainPipe(int fd, WorkerWatch& watch) {
  char sink[16384];
  for (;;) {
    const platform::IoResult r = platform::ReadPipe(fd, sink, sizeof sink);
    if (r.status == IoStatus::kOk) continue;
    if (r.status != IoStatus::kWouldBlock || !platform::WaitPipeReady(fd, AgentEnd::kRead, watch)) {
      return;
    }
  }
}

// Reads `fd` to its end into a buffer that starts at `step` bytes and grows by
// `step` while smaller than `maximum`; what does not fit is drained. Returns
// null (and length 0) when nothing was read.
CaptureBuffer ReadPipeToEnd(int fd, WorkerWatch& watch, std::int32_t step, std::int32_t maximum,
                            std::int32_t* length) {
  *length = 0;
  CaptureBuffer buffer(static_cast<char*>(std::malloc(static_cast<std::size_t>(step) + 1)));
  if (!buffer) {
    DrainPipe(fd, watch);
    return nullptr;
  }
  std::int32_t capacity = step;
  std::int32_t used = 0;
  for (;;) {
    const platform::IoResult r =
        platform::ReadPipe(fd, buffer.get() + used, static_cast<std::size_t>(capacity - used));
    if (r.status == IoStatus::kWouldBlock) {
      if (!platform::WaitPipeReady(fd, AgentEnd::kRead, watch)) break;
      continue;
    }
    if (r.status != IoStatus::kOk) break;
    used += static_cast<std::int32_t>(r.bytes);
    if (used == capacity && capacity < maximum) {
      const std::size_t grown_size = static_cast<std::size_t>(capacity) + step + 1;
      if (char* grown = static_cast<char*>(std::realloc(buffer.get(), grown_size))) {
        (void)buffer.release();
        buffer.reset(grown);
        capacity += step;
      }
    }
    if (used == capacity) {
      DrainPipe(fd, watch);
      break;
    }
  }
  if (used == 0) return nullptr;
  buffer.get()[used] = '\0';
  *length = used;
  return buffer;
}

int PipeReaderThread(StreamChannel* channel, WorkerWatch watch) {
  if (channel->initial_size <= 0) channel->initial_size = 1024;
  channel->initial_size = std::min(channel->initial_size, kLargestCapture);
  channel->maximum_size = std::clamp(channel->maximum_size, channel->initial_size, kLargestCapture);
  channel->data = ReadPipeToEnd(channel->pipe.Get(), watch, channel->initial_size,
                                channel->maximum_size, &channel->length);
  channel->pipe.Reset();
  return 0;
}

int PipeWriterThread(StreamChannel* channel, WorkerWatch watch) {
  platform::SigpipeBlock no_sigpipe;
  const char* data = channel->input;
  std::int32_t left = data != nullptr ? channel->length : 0;
  while (left > 0) {
    const platform::IoResult r =
        platform::WritePipe(channel->pipe.Get(), data, static_cast<std::size_t>(left));
    if (r.status == IoStatus::kOk) {
      data += r.bytes;
      left -= static_cast<std::int32_t>(r.bytes);
    } else if (r.status != IoStatus::kWouldBlock ||
               !platform::WaitPipeReady(channel->pipe.Get(), AgentEnd::kWrite, watch)) {
      break;
    }
  }
  channel->pipe.Reset();  // end-of-file for the child
  return 0;
}

// Tells the channel's worker to finish and joins it; closes the pipe when no
// worker ever took it.
void StopChannelThread(StreamChannel& channel, int stop_signal) {
  if (channel.worker.joinable()) {
    platform::RaiseStopSignal(stop_signal);
    channel.worker.join();
  }
  channel.pipe.Reset();
}

// Starts `function` on `channel`; false when the thread cannot be created.
template <typename Function>
bool StartWorker(StreamChannel& channel, Function function, const WorkerWatch& watch) {
  try {
    channel.worker = std::thread(function, &channel, watch);
    return true;
  } catch (const std::system_error&) {
    return false;
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

bool HoldsRun(const ChildProcess& record) {
  return record.process_information.process.Valid() || record.stop_signal.Valid() ||
         record.output.worker.joinable() || record.error.worker.joinable() ||
         record.input.worker.joinable();
}

}  // namespace

ChildProcess::~ChildProcess() { CleanupChildProcess(*this); }

void SetChildProcessLimitsForTesting(std::int32_t child_wait_ms, std::int32_t reader_wait_ms) {
  g_child_wait_ms = child_wait_ms > 0 ? child_wait_ms : kChildWaitMs;
  g_reader_wait_ms = reader_wait_ms > 0 ? reader_wait_ms : kReaderWaitMs;
}

int StartChildProcess(const std::string& command_line, ChildProcess& record) {
  if (HoldsRun(record)) return kStartPipeFailed;
  record.process_information = ProcessInformation();
  record.reader_wait_ms = g_reader_wait_ms.load();

  UniqueFd child_input;
  UniqueFd child_output;
  UniqueFd child_error;
  bool pipes_ok = platform::MakeStopSignal(&record.stop_signal);
  if (pipes_ok && record.input.enabled) {
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

  const std::vector<std::string> arguments = SplitCommandLine(command_line);
  std::vector<char*> environment;
  if (record.environment != nullptr && record.environment->Data() != nullptr) {
    environment = EnvironmentPointers(*record.environment);
  }
  platform::SpawnRequest request;
  request.arguments = &arguments;
  request.environment = environment.empty() ? nullptr : environment.data();
  request.input_fd = child_input.Get();
  request.output_fd = child_output.Get();
  request.error_fd = child_error.Get();
  request.directory = record.current_directory.empty() ? nullptr : record.current_directory.c_str();
  std::int32_t pid = 0;
  bool created = platform::SpawnProcess(request, &pid) == 0;
  bool handle_ok = true;
  if (created) {
    record.process_information.process_id = pid;
    handle_ok = platform::OpenProcessHandle(pid, &record.process_information.process);
    if (!handle_ok) {
      // Without a handle the child cannot be waited for with a limit: end it now.
      int ignored = 0;
      platform::KillProcessGroup(pid);
      platform::ReapProcess(pid, true, &ignored, &ignored);
      record.process_information.reaped = true;
      created = false;
    }
  }

  // The child's ends must be closed here, or the readers would never see
  // end-of-file and the child never see the end of its input.
  WorkerWatch reader_watch;
  reader_watch.process_fd = record.process_information.process.Get();
  reader_watch.stop_fd = record.stop_signal.Get();
  reader_watch.after_exit_ms = record.reader_wait_ms;
  reader_watch.after_stop_ms = kStopGraceMs;
  WorkerWatch writer_watch = reader_watch;
  writer_watch.process_fd = -1;  // input can outlive the child only until cleanup stops it

  bool workers_ok = true;
  child_output.Reset();
  if (created && record.output.enabled) {
    workers_ok = StartWorker(record.output, PipeReaderThread, reader_watch);
  }
  child_input.Reset();
  if (created && workers_ok && record.input.enabled) {
    workers_ok = StartWorker(record.input, PipeWriterThread, writer_watch);
  }
  child_error.Reset();
  if (created && workers_ok && record.error.enabled) {
    workers_ok = StartWorker(record.error, PipeReaderThread, reader_watch);
  }
  if (created && workers_ok) return kStartOk;
  CleanupChildProcess(record);
  if (!handle_ok) return kStartPipeFailed;
  return created ? kStartThreadFailed : kStartProcessFailed;
}

int WaitChildProcess(ChildProcess& record) {
  ProcessInformation& info = record.process_information;
  if (!info.process.Valid()) return 0;
  int code = 0;
  int error = 0;
  switch (platform::WaitProcessEnd(info.process.Get(), g_child_wait_ms.load(), &error)) {
    case platform::ProcessWait::kTimedOut:
      code = ETIMEDOUT;
      break;
    case platform::ProcessWait::kFailed:
      code = error != 0 ? error : 1;
      break;
    case platform::ProcessWait::kExited:
      if (platform::ReapProcess(info.process_id, true, &code, &error) !=
          platform::ProcessWait::kExited) {
        code = error != 0 ? error : 1;
        break;
      }
      info.reaped = true;
      // Each reader ends by itself within its limit after the child's end.
      if (record.error.worker.joinable()) record.error.worker.join();
      if (record.output.worker.joinable()) record.output.worker.join();
      if (code == 0 && record.error.length > 0) code = 1;
      break;
  }
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
  const int stop = record.stop_signal.Get();
  StopChannelThread(record.output, stop);
  StopChannelThread(record.error, stop);
  StopChannelThread(record.input, stop);
  if (must_reap) {
    int ignored = 0;
    platform::ReapProcess(info.process_id, true, &ignored, &ignored);
    info.reaped = true;
  }
  info.process.Reset();
  record.stop_signal.Reset();
}

}  // namespace runner
