// Certificates for the tests that talk TLS to the daemon: a certificate
// authority of the test's own and a server certificate for 127.0.0.1 that it
// signed, made with the openssl command (short-lived RSA keys, no
// passphrases). A client trusts the server by trusting `ca`. And the token
// files that go with them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "testing/temp_dir.h"

namespace amtest {

struct Certificates {
  std::filesystem::path ca;    // the authority's certificate (PEM)
  std::filesystem::path cert;  // the server's certificate, subjectAltName IP:127.0.0.1
  std::filesystem::path key;   // the server's private key
};

// Makes <name>-ca.pem, <name>.pem and <name>.key (and the files that made
// them) in `dir`; a fresh authority each call, so certificates of two names
// do not trust each other. nullopt when openssl failed.
std::optional<Certificates> MakeCertificates(const TempDir& dir, const std::string& name);

// Writes `token` and a newline to `name` in `dir`, readable by its owner
// only (the daemon refuses token files others can read); the full path.
std::string WriteToken(const TempDir& dir, const std::string& name, const std::string& token);

}  // namespace amtest
