#include "service/log.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/uio.h>
// Every entry would carry this file's own place (one line, always the same),
// which tells an operator nothing and would put the build's path into the
// installed program.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <memory>
#include <mutex>

#include "host/trace_utils.h"

namespace service {
namespace {

std::mutex g_tee_mu;
std::shared_ptr<const LogTee> g_tee;
std::atomic<int> g_threshold{kPriorityDebug};
std::atomic<bool> g_journal{false};

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

// True when journald took the entry.
bool SendToJournal(int priority, std::string_view component, std::string_view message,
                   std::span<const LogField> fields) {
  const std::vector<std::string> items = JournalFields(priority, component, message, fields);
  std::vector<iovec> iov(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    iov[i].iov_base = const_cast<char*>(items[i].data());
    iov[i].iov_len = items[i].size();
  }
  return sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) >= 0;
}

void Emit(int priority, const std::string& component, const std::string& message,
          std::span<const LogField> fields) {
  if (!LogWants(priority)) return;
  if (!g_journal.load(std::memory_order_relaxed) ||
      !SendToJournal(priority, component, message, fields)) {
    WriteAll(JournalLine(priority, component, message));
  }
  std::shared_ptr<const LogTee> tee;
  {
    std::lock_guard<std::mutex> lock(g_tee_mu);
    tee = g_tee;
  }
  if (tee && *tee) (*tee)(priority, component, message);
}

bool ParseDecimal(std::string_view text, unsigned long long* value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

}  // namespace

int PriorityOfLevel(int level) { return level <= 0 ? kPriorityInfo : kPriorityDebug; }

int LevelThresholdFor(int priority) {
  if (priority >= kPriorityDebug) return 3;
  return priority >= kPriorityInfo ? 0 : -1;
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

std::vector<std::string> JournalFields(int priority, std::string_view component,
                                       std::string_view message, std::span<const LogField> fields) {
  std::vector<std::string> items;
  items.reserve(fields.size() + 3);
  items.push_back("PRIORITY=" + std::to_string(priority & 7));
  items.push_back("SYSLOG_IDENTIFIER=actionmanagerd");
  std::string text = "MESSAGE=";
  text.append(component).append(": ").append(message);
  items.push_back(std::move(text));
  for (const LogField& field : fields) items.push_back(field.name + "=" + field.value);
  return items;
}

bool IsJournalStream(const char* journal_stream, int fd) {
  if (journal_stream == nullptr) return false;
  const std::string_view text(journal_stream);
  const std::size_t colon = text.find(':');
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (colon == std::string_view::npos || !ParseDecimal(text.substr(0, colon), &device) ||
      !ParseDecimal(text.substr(colon + 1), &inode)) {
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == device &&
         static_cast<unsigned long long>(st.st_ino) == inode;
}

void InstallJournalLog() {
  g_journal.store(IsJournalStream(::getenv("JOURNAL_STREAM"), STDERR_FILENO),
                  std::memory_order_relaxed);
  CTraceUtils::GetInstance()->SetLineSink(
      [](int level, const std::string& component, const std::string& message) {
        Emit(PriorityOfLevel(level), component, message, {});
      });
}

void SetLogTee(LogTee tee) {
  auto shared = tee ? std::make_shared<const LogTee>(std::move(tee)) : nullptr;
  std::lock_guard<std::mutex> lock(g_tee_mu);
  g_tee = std::move(shared);
}

void SetLogThreshold(int priority) {
  g_threshold.store(priority, std::memory_order_relaxed);
  CTraceUtils::GetInstance()->SetThreshold(LevelThresholdFor(priority));
}

bool LogWants(int priority) { return priority <= g_threshold.load(std::memory_order_relaxed); }

void Log(int priority, std::string_view message) { Log(priority, message, {}); }

void Log(int priority, std::string_view message, std::span<const LogField> fields) {
  Emit(priority, "actionmanagerd", std::string(message), fields);
}

}  // namespace service
