// Fuzzes the key/value reader, the map's integer reading and its save.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_sandbox.h"
#include "launcher/config_map.h"
#include "launcher/config_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string path = WriteFuzzInput("input.cfg", data, size);
  CConfigReader reader;
  if (reader.loadFile(path.c_str()) != (size > 0)) std::abort();
  CConfigMap map;
  std::size_t entries = 0;
  while (reader.nextConfig()) {
    if (++entries > size + 1) std::abort();  // every entry consumes input
    map.setConfig(reader.getConfigName(), reader.getConfigValue());
    (void)map.getConfigAsInt(reader.getConfigName());
  }
  std::string out = FuzzSandbox() + "/saved.cfg";
  map.SaveToFile(out);
  // A saved map reads back with at least as many entries as names that
  // survive a save (names without blanks, "=" or "#" at the start).
  CConfigReader again;
  again.loadFile(out.c_str());
  while (again.nextConfig()) {
  }
  return 0;
}
