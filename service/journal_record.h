// The journal's record format, apart from the files that hold it:
//
//   u32 length of the body | u32 CRC-32 of the body | body = u8 type, payload
//
// little-endian, with the types
//   1 accepted  u64 sequence number, then the event as received (JSON text)
//   2 finished  u64 sequence number
//   3 base      u64 the next sequence number (first record of a segment)
//
// Pure functions; no I/O.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace service {

enum class RecordType : std::uint8_t { kAccepted = 1, kFinished = 2, kBase = 3 };

// Bytes of the header and of the type and number before an accepted
// record's payload.
inline constexpr std::size_t kRecordHead = 8 + 9;

// One encoded record.
std::string EncodeRecord(RecordType type, std::uint64_t seq, std::string_view payload = {});

// Calls `each` for every whole record at the start of `bytes`, in order,
// with its type, number and the whole encoded record; stops at the first
// record cut short or with a bad CRC (a crash leaves at most the tail of a
// segment so). Returns how many bytes the whole records took.
std::size_t DecodeRecords(
    std::string_view bytes,
    const std::function<void(RecordType type, std::uint64_t seq, std::string_view record)>& each);

}  // namespace service
