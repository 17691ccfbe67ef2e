#include "testing/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

namespace amtest {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "am-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();  // every test of the suite needs a folder; nothing sensible follows
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::Write(const std::string& name, const std::string& content) const {
  const std::filesystem::path file = path_ / name;
  const std::filesystem::path temporary = file.string() + ".partial";
  std::filesystem::create_directories(file.parent_path());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << content;
  }
  std::filesystem::rename(temporary, file);
  return file;
}

std::filesystem::path TempDir::Write(const std::string& name,
                                     const std::vector<std::uint8_t>& content) const {
  return Write(name, std::string(content.begin(), content.end()));
}

std::string TempDir::Read(const std::string& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace amtest
