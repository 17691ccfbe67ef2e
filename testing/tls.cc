#include "testing/tls.h"

#include <filesystem>

#include "testing/process.h"

namespace amtest {

std::optional<Certificates> MakeCertificates(const TempDir& dir, const std::string& name) {
  const std::string ca = name + "-ca";
  const std::string command =
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=" + ca + " -keyout " + ca +
      ".key -out " + ca + ".pem && "
      "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout " + name + ".key -out " +
      name + ".csr && printf 'subjectAltName=IP:127.0.0.1\\n' > " + name + ".ext && "
      "openssl x509 -req -in " + name + ".csr -CA " + ca + ".pem -CAkey " + ca +
      ".key -CAcreateserial -days 1 -extfile " + name + ".ext -out " + name + ".pem";
  ProcessOptions options;
  options.cwd = dir.path();
  const ProcessResult made = Run("/bin/sh", {"-c", command}, options);
  if (made.status != 0) return std::nullopt;
  return Certificates{dir / (ca + ".pem"), dir / (name + ".pem"), dir / (name + ".key")};
}

std::string WriteToken(const TempDir& dir, const std::string& name, const std::string& token) {
  const std::filesystem::path path = dir.Write(name, token + "\n");
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  return path.string();
}

}  // namespace amtest
