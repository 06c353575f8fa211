#include "fuzz_sandbox.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

struct Sandbox {
  Sandbox() {
    char pattern[] = "/tmp/starter-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    path = pattern;
    if (chdir(path.c_str()) != 0) std::abort();
  }
  ~Sandbox() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
  std::string path;
};

}  // namespace

const std::string& FuzzSandbox() {
  static Sandbox sandbox;
  return sandbox.path;
}

std::string WriteFuzzInput(const char* name, const std::uint8_t* data,
                           std::size_t size) {
  std::string path = FuzzSandbox() + "/" + name;
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data),
            static_cast<std::streamsize>(size));
  return path;
}

void ClearDirectory(const std::string& dir) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    fs::remove_all(entry.path(), ec);
  }
}

std::size_t CountEntries(const std::string& dir) {
  std::error_code ec;
  std::size_t n = 0;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
       it.increment(ec)) {
    ++n;
  }
  return n;
}
