// Reader of the key/value settings format.
#ifndef STARTER_LAUNCHER_CONFIG_READER_H_
#define STARTER_LAUNCHER_CONFIG_READER_H_

#include <string>

// Loads a whole key/value file and hands out its entries one at a time.
// The format: "name = value" lines, "#" comments, blank lines; plain bytes,
// LF or CR LF line ends, no quoting. A NUL byte ends the text.
class CConfigReader {
 public:
  // Replaces the text with the file's bytes. Returns false when the file is
  // missing, unreadable or empty (the text is then empty). Logs nothing.
  bool loadFile(const char* filename);
  // Reads the next entry; returns false when no entry is left.
  bool nextConfig();
  // Name of the entry most recently read; valid until the next nextConfig.
  const char* getConfigName() const { return ConfigName.c_str(); }
  // Value of the entry most recently read; valid until the next nextConfig.
  const char* getConfigValue() const { return ConfigValue.c_str(); }

 private:
  std::string Text;
  const char* TextPtr = "";
  std::string ConfigValue;
  std::string ConfigName;
};

#endif  // STARTER_LAUNCHER_CONFIG_READER_H_
