// CRC-32 as used for probe identifiers: the reflected polynomial 0xEDB88320,
// initial value 0xFFFFFFFF and a final complement, computed byte by byte from a
// 256-entry table. Crc32("abc") == 0x352441c2; an empty text gives 0.
// Pure function, thread-safe.
#pragma once

#include <cstdint>
#include <string_view>

namespace base {

std::uint32_t Crc32(std::string_view bytes);

}  // namespace base
