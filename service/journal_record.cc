#include "service/journal_record.h"

#include "base/crc32.h"

namespace service {
namespace {

// A body longer than this is corruption, not a record (payloads are events
// below the body limit).
constexpr std::uint32_t kMaxBody = 1u << 30;

void PutU32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void PutU64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
std::uint64_t GetU(const char* p, int bytes) {
  std::uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(p[i]);
  return v;
}


}  // namespace

std::string EncodeRecord(RecordType type, std::uint64_t seq, std::string_view payload) {
  std::string body;
  body.reserve(9 + payload.size());
  body += static_cast<char>(type);
  PutU64(body, seq);
  body.append(payload);
  std::string record;
  record.reserve(8 + body.size());
  PutU32(record, static_cast<std::uint32_t>(body.size()));
  PutU32(record, base::Crc32(body));
  record += body;
  return record;
}

std::size_t DecodeRecords(
    std::string_view bytes,
    const std::function<void(RecordType type, std::uint64_t seq, std::string_view record)>& each) {
  std::size_t at = 0;
  while (at + 8 <= bytes.size()) {
    const auto length = static_cast<std::uint32_t>(GetU(bytes.data() + at, 4));
    const auto crc = static_cast<std::uint32_t>(GetU(bytes.data() + at + 4, 4));
    if (length < 9 || length > kMaxBody || at + 8 + length > bytes.size()) break;
    const std::string_view body = bytes.substr(at + 8, length);
    if (base::Crc32(body) != crc) break;
    each(static_cast<RecordType>(body[0]), GetU(body.data() + 1, 8), bytes.substr(at, 8 + length));
    at += 8 + length;
  }
  return at;
}

}  // namespace service
