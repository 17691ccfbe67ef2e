// Whole-file reads and writes for the tool, without exceptions.
//
// WriteOutputFile decides by what the path names:
//   - "-": standard output;
//   - nothing yet, or a regular file: the bytes go into a temporary file
//     beside the target, which is synced and renamed over the target only
//     when every byte is on disk, and the folder is synced after the rename.
//     A replaced file keeps its permission bits (and its owner, where the
//     process may set it); a new one gets 0666 less the umask. A failed or
//     interrupted write therefore never leaves a half-written file where a
//     good one was;
//   - anything else (a character device such as /dev/null, a FIFO, a
//     symbolic link, whose target is then written): opened and written in
//     place, since replacing it would destroy what the path is;
//   - a folder: refused.
// Every descriptor is closed and the temporary removed on every path.
//
// ReadWholeFile is thread-safe. WriteOutputFile reads the process's umask
// (which can only be read by setting it): call it while no other thread
// creates files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace amctl {

// Replaces or writes the file at `path` by `bytes` as described above. On
// failure `*why` holds the reason; a file that would have been replaced is
// untouched, except when only the final sync of its folder failed (the new
// content is then in place but might not survive a crash).
[[nodiscard]] bool WriteOutputFile(const std::string& path, std::string_view bytes,
                                   std::string* why);

// Writes every byte to the descriptor, retrying short writes and EINTR; false
// with errno set when a write fails.
[[nodiscard]] bool WriteAll(int fd, std::string_view bytes);

// Reads the whole file. On failure `*bytes` is left as it was and `*why` holds
// the system's reason ("No such file or directory").
[[nodiscard]] bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* why);

}  // namespace amctl
