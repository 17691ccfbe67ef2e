#include "service/event_id.h"

#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "base/hex.h"

namespace service {

const char kMissingEventIdMessage[] =
    "is missing: execution limits count by EventId (set \"missing_event_id\": \"generate\" to "
    "give such events an id of their own)";

std::string NewEventId() {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof bytes) {
    // No random source (a seccomp filter, an old kernel): the time and a
    // counter still tell the events of this process apart.
    static std::atomic<std::uint64_t> counter{0};
    const auto now = static_cast<std::uint64_t>(
        std::chrono::system_clock::now().time_since_epoch().count());
    const std::uint64_t next = counter.fetch_add(1);
    for (int i = 0; i < 8; ++i) {
      bytes[i] = static_cast<unsigned char>(now >> (8 * i));
      bytes[8 + i] = static_cast<unsigned char>(next >> (8 * i));
    }
  }
  return "amd-" + base::ToHex(std::string_view(reinterpret_cast<const char*>(bytes), sizeof bytes));
}

bool EnsureEventId(bool generate, scenario::ScenarioObject* event, scenario::Json* received) {
  auto& properties = event->properties;
  const auto is_id = [](const auto& property) { return scenario::SameName(property.first, "EventId"); };
  const auto given = std::find_if(properties.begin(), properties.end(), is_id);
  if (given != properties.end() && !given->second.is_null()) return true;
  if (!generate) return false;
  const std::string id = NewEventId();
  std::erase_if(properties, is_id);
  properties.emplace_back("EventId", id);
  scenario::Json& fields = (*received)["properties"];
  if (fields.is_object()) {
    for (auto it = fields.begin(); it != fields.end();) {
      it = scenario::SameName(it.key(), "EventId") ? fields.erase(it) : std::next(it);
    }
  }
  fields["EventId"] = id;
  return true;
}

}  // namespace service
