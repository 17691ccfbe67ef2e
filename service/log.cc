#include "service/log.h"

#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "host/trace_utils.h"

namespace service {
namespace {

std::mutex g_tee_mu;
std::shared_ptr<const LogTee> g_tee;

void WriteAll(const std::string& line) {
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to report a lost log line
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

void Emit(int priority, const std::string& component, const std::string& message) {
  WriteAll(JournalLine(priority, component, message));
  std::shared_ptr<const LogTee> tee;
  {
    std::lock_guard<std::mutex> lock(g_tee_mu);
    tee = g_tee;
  }
  if (tee && *tee) (*tee)(priority, component, message);
}

}  // namespace

int PriorityOfLevel(int level) {
  switch (level) {
    case 0:
      return kPriorityErr;
    case 1:
      return kPriorityDebug;
    case 2:
      return kPriorityInfo;
    default:
      return kPriorityNotice;
  }
}

std::string JournalLine(int priority, std::string_view component, std::string_view message) {
  std::string line;
  line.reserve(message.size() + component.size() + 8);
  line += '<';
  line += static_cast<char>('0' + (priority & 7));
  line += '>';
  line += component;
  line += ": ";
  for (const char c : message) {
    if (c == '\n') {
      line += "\\n";
    } else if (c != '\r') {
      line += c;
    }
  }
  line += '\n';
  return line;
}

void InstallJournalLog() {
  CTraceUtils::GetInstance()->SetLineSink(
      [](int level, const std::string& component, const std::string& message) {
        Emit(PriorityOfLevel(level), component, message);
      });
}

void SetLogTee(LogTee tee) {
  auto shared = tee ? std::make_shared<const LogTee>(std::move(tee)) : nullptr;
  std::lock_guard<std::mutex> lock(g_tee_mu);
  g_tee = std::move(shared);
}

void Log(int priority, std::string_view message) {
  Emit(priority, "actionmanagerd", std::string(message));
}

}  // namespace service
