#include "testing/tls.h"

#include <filesystem>

#include "testing/process.h"

namespace amtest {

std::optional<Certificates> MakeCertificates(const TempDir& dir, const std::string& name) {
  const std::string ca = name + "-ca";
  ProcessOptions options;
  options.cwd = dir.path();
  options.environment = {{"ca", ca}, {"name", name}};
  const std::string made = Shell(
      "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=$ca -keyout $ca.key "
      "-out $ca.pem && "
      "openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout $name.key -out $name.csr && "
      "printf 'subjectAltName=IP:127.0.0.1\\n' > $name.ext && "
      "openssl x509 -req -in $name.csr -CA $ca.pem -CAkey $ca.key -CAcreateserial -days 1 "
      "-extfile $name.ext -out $name.pem >/dev/null && echo made",
      options);
  if (made != "made") return std::nullopt;
  return Certificates{dir / (ca + ".pem"), dir / (name + ".pem"), dir / (name + ".key")};
}

std::string WriteToken(const TempDir& dir, const std::string& name, const std::string& token) {
  const std::filesystem::path path = dir.Write(name, token + "\n");
  std::filesystem::permissions(
      path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  return path.string();
}

}  // namespace amtest
