// Whole-file reads and writes for the tool, without exceptions.
//
// WriteFileAtomically writes into a temporary file beside the target and
// renames it over the target only when every byte is on disk, so a failed or
// interrupted write never leaves a half-written file where a good one was.
// Every descriptor is closed and the temporary removed on every path.
// ReadWholeFile is thread-safe. WriteFileAtomically reads the process's umask
// (which can only be read by setting it): call it while no other thread
// creates files.
#pragma once

#include <string>
#include <string_view>

namespace scenario {

// Reads the whole file. On failure `*bytes` is left as it was and `*why` holds
// the system's reason ("No such file or directory").
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why);

// Replaces the file at `path` by `bytes`. On failure the target is untouched
// and `*why` holds the reason.
[[nodiscard]] bool WriteFileAtomically(const std::string& path, std::string_view bytes,
                                       std::string* why);

}  // namespace scenario
