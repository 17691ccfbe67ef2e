// CArchive: the byte stream that every settings record is stored into and
// loaded from, with its primitive encodings (all numbers little-endian):
//
//   word        2 bytes, unsigned
//   long        4 bytes, two's complement (counts are read as signed)
//   double      8 bytes, IEEE 754 binary64
//   string      length prefix, then the bytes, no terminator:
//                 0..254        one byte L
//                 255..65533    FF, then L as 16 bits
//                 65534 and up  FF FF FF, then L as 32 bits
//   byte block  short count (16 bits, or FFFF and 32 bits from 65535 on),
//               then the bytes
//
// An archive is opened for one direction. A storing archive appends to the
// buffer it is given; a loading archive reads that buffer from its start. The
// buffer is borrowed: it must outlive the archive and, while loading, must not
// change.
//
// Loading never trusts the data: reading past the end, a length larger than
// the bytes left, or a count whose elements cannot fit in the bytes left throws
// CArchiveException, the library's one exception, carrying the offset at which
// loading failed. Nothing is ever allocated from an unchecked length or count.
// The caller that opened the archive catches it and discards the half-loaded
// object (or uses the non-throwing entries of settings/archive_io.h).
//
// Not thread-safe: one thread uses an archive at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "settings/export.h"

class AM_EXPORT CArchiveException : public std::exception {
 public:
  enum Cause {
    endOfData,    // the data ends inside an item
    badLength,    // a string or byte block is longer than the bytes left
    badCount,     // a collection's elements cannot fit in the bytes left
    badString,    // a string prefix that no writer produces
    notStorable,  // storing: a value the format cannot represent
  };

  CArchiveException(Cause cause, std::size_t offset, std::string reason);

  Cause GetCause() const noexcept { return m_cause; }
  // Offset, from the start of the buffer, of the item that failed.
  std::size_t GetOffset() const noexcept { return m_offset; }
  // A short reason without the offset, e.g. "a long needs 4 bytes, 2 remain".
  const std::string& GetReason() const noexcept { return m_reason; }
  // The reason followed by " at offset N".
  const char* what() const noexcept override { return m_what.c_str(); }

 private:
  Cause m_cause;
  std::size_t m_offset;
  std::string m_reason;
  std::string m_what;
};

// A rule entry that loading passed over: its class name names no action
// kind, so no action was created and no action record was read for it.
struct AmSkippedAction {
  std::size_t offset = 0;  // of the class name
  std::string rule;        // the rule's event name; empty for a rule loaded on its own
  std::string action;      // the action name
  std::string class_name;
};

class AM_EXPORT CArchive {
 public:
  enum Mode { store, load };

  CArchive(std::vector<std::uint8_t>& buffer, Mode mode);
  // A loading archive over data that it never changes.
  explicit CArchive(const std::vector<std::uint8_t>& data);
  CArchive(const CArchive&) = delete;
  CArchive& operator=(const CArchive&) = delete;

  bool IsStoring() const noexcept { return m_mode == store; }
  bool IsLoading() const noexcept { return m_mode == load; }

  // Loading: bytes consumed from the start of the buffer. Storing: the size of
  // the buffer (where the next byte goes).
  std::size_t GetOffset() const noexcept;
  // Loading: bytes not yet read. Storing: 0.
  std::size_t GetRemaining() const noexcept;

  void WriteWord(std::uint16_t value);
  void WriteLong(std::int32_t value);
  void WriteDouble(double value);
  void WriteString(std::string_view text);
  void WriteBytes(const std::vector<std::uint8_t>& block);
  // A collection count as a long; throws notStorable above 2^31 - 1.
  void WriteCount(std::size_t count);

  std::uint16_t ReadWord();
  std::int32_t ReadLong();
  double ReadDouble();
  std::string ReadString();
  std::vector<std::uint8_t> ReadBytes();

  // Reads a collection count (a long) and checks it against the bytes left,
  // knowing that each element takes at least `min_element_bytes` (> 0). A
  // count of 0 or less always passes: it reads no element.
  std::int32_t ReadCount(std::size_t min_element_bytes);

  // Loading: the entries that records passed over, in the order met, so that
  // a caller can say what the loaded object lacks.
  void NoteSkipped(AmSkippedAction skipped) { m_skipped.push_back(std::move(skipped)); }
  std::vector<AmSkippedAction>& GetSkipped() noexcept { return m_skipped; }

 private:
  // The buffer of a storing archive; throws notStorable when loading.
  std::vector<std::uint8_t>& Out();
  // Throws endOfData unless `n` more bytes can be read.
  void Need(std::size_t n, const char* what) const;
  std::uint32_t ReadU32();
  std::size_t ReadStringLength(bool allow_wide_marker, bool& wide);

  // Loading reads m_in; storing appends to m_out (null when loading).
  const std::vector<std::uint8_t>& m_in;
  std::vector<std::uint8_t>* m_out;
  Mode m_mode;
  std::size_t m_pos = 0;
  std::vector<AmSkippedAction> m_skipped;
};
