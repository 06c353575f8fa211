#include "app/file_lookup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "engine_starter/application.h"
#include "support/temp_dir.h"

namespace {

constexpr char kOpenError[] = "File open error: No such file or directory\n\n";

// A game directory "game" inside a temporary root, so that "../Base/" is
// root/Base. The application log is written to root/log.txt.
class FileLookupTest : public ::testing::Test {
 protected:
  FileLookupTest() {
    WriteFile(root / "game/.keep", "");
    cwd = std::make_unique<ScopedCwd>(root / "game");
    log = std::make_unique<CAppLog>((root / "log.txt").c_str(), false);
  }

  // The log lines written since the last call.
  std::string NewLogText() {
    std::string all = ReadFile(root / "log.txt");
    std::string fresh = all.substr(seen);
    seen = all.size();
    return fresh;
  }

  TempDir root;
  std::unique_ptr<ScopedCwd> cwd;
  std::unique_ptr<CAppLog> log;
  CApplication app;
  std::size_t seen = 0;
};

}  // namespace

TEST_F(FileLookupTest, UseFileFindsOwnPathThenFallbackAndReportsEachOnce) {
  WriteFile(root / "game/Data/own.txt", "x");
  WriteFile(root / "Base/Data/fallback.txt", "x");
  WriteFile(root / "Base/Data/slash.txt", "x");
  const struct {
    const char* name;
    const char* result;
    std::string logged;
  } cases[] = {
      {"Data/own.txt", "Data/own.txt", "Using file 'Data/own.txt'\n"},
      // Reported once per process.
      {"Data/own.txt", "Data/own.txt", ""},
      {"Data/fallback.txt", "../Base/Data/fallback.txt",
       std::string(kOpenError) +
           "File not found. Using default file '../Base/Data/fallback.txt'\n"},
      {"Data/fallback.txt", "../Base/Data/fallback.txt", kOpenError},
      // A backslash becomes a slash in the fallback path.
      {"Data\\slash.txt", "../Base/Data/slash.txt",
       std::string(kOpenError) +
           "File not found. Using default file '../Base/Data/slash.txt'\n"},
      // Found nowhere: the given name is reported, the fallback returned,
      // and the next call reports again.
      {"Data\\none.txt", "../Base/Data/none.txt",
       std::string(kOpenError) + kOpenError +
           "File not found 'Data\\none.txt'\n"},
      {"Data\\none.txt", "../Base/Data/none.txt",
       std::string(kOpenError) + kOpenError +
           "File not found 'Data\\none.txt'\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(app.useFile(c.name), c.result) << c.name;
    EXPECT_EQ(NewLogText(), c.logged) << c.name;
  }
  EXPECT_EQ(app.filesUsed.size(), 3u);
}

TEST_F(FileLookupTest, UseFileTurnsBackslashesOfAFoundFileIntoSlashes) {
  WriteFile(root / "game/odd\\name.txt", "x");
  EXPECT_EQ(app.useFile("odd\\name.txt"), "odd/name.txt");
  EXPECT_EQ(NewLogText(), "Using file 'odd/name.txt'\n");
}

TEST_F(FileLookupTest, FallbackIgnoresTheBaseSwitch) {
  app.baseDir = "MyMod/";
  WriteFile(root / "MyMod/a.txt", "x");
  EXPECT_EQ(app.useFile("a.txt"), "../Base/a.txt");
  EXPECT_NE(NewLogText().find("File not found 'a.txt'"), std::string::npos);
}

TEST_F(FileLookupTest, UseFileWithNullNameReturnsTheFallbackDirectory) {
  EXPECT_EQ(app.useFile(nullptr), "../Base/");
  EXPECT_EQ(NewLogText(), std::string(kOpenError) + "File not found ''\n");
}

TEST_F(FileLookupTest, FileExists2LogsAFailedOpen) {
  WriteFile(root / "game/there", "");
  EXPECT_TRUE(fileExists2("there"));
  EXPECT_EQ(NewLogText(), "");
  EXPECT_FALSE(fileExists2("missing"));
  EXPECT_EQ(NewLogText(), kOpenError);
  EXPECT_FALSE(fileExists2("there/below"));
  EXPECT_EQ(NewLogText(), "File open error: Not a directory\n\n");
  EXPECT_FALSE(fileExists2(nullptr));
  EXPECT_EQ(NewLogText(), "");
}

TEST_F(FileLookupTest, DirectoryHelpers) {
  app.appDir = "/games/bm/";
  EXPECT_EQ(app.getAppDirFile("libVelmora_dedi.so"),
            "/games/bm/libVelmora_dedi.so");
  EXPECT_EQ(app.getAppDirFile(nullptr), "/games/bm/");

  const struct {
    const char* program;
    const char* directory;
  } cases[] = {
      {"./DUdavi", "./"},
      {"DUdavi", "DUdavi"},
      {"/opt/bm/DUdavi", "/opt/bm/"},
      {"C:\\bm\\DUdavi", "C:/bm/"},
      {"a\\b/c", "a/b/"},
      {"dir/", "dir/"},
  };
  for (const auto& c : cases) {
    char* argv[] = {const_cast<char*>(c.program), nullptr};
    EXPECT_EQ(app.getDirectoryFromArgs(0, argv), c.directory) << c.program;
  }
  char* no_args[] = {nullptr};
  EXPECT_EQ(app.getDirectoryFromArgs(0, no_args), "");
}

// The pid file holds the process id only; a FIFO there with nobody reading
// it is left alone rather than stopping the start.
TEST_F(FileLookupTest, WritePIDRecordsTheProcessIdOnly) {
  const std::string pid = std::to_string(getpid());
  const std::string pid_file = root / "game/Logs/pid.txt";
  const struct {
    const char* name;
    bool fifo;
    const char* logged;
  } cases[] = {
      {"stale file", false, ""},
      {"fifo without a reader", true,
       "File open error: No such device or address\n\n"},
  };
  for (const auto& c : cases) {
    std::remove(pid_file.c_str());
    if (c.fifo) {
      WriteFile(root / "game/Logs/.keep", "");
      ASSERT_EQ(mkfifo(pid_file.c_str(), 0644), 0);
    } else {
      WriteFile(pid_file, "stale content that is longer");
    }
    NewLogText();
    ::testing::internal::CaptureStdout();
    app.WritePID();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "PID: " + pid + "\n")
        << c.name;
    EXPECT_EQ(NewLogText(), c.logged) << c.name;
    if (!c.fifo) {
      EXPECT_EQ(ReadFile(pid_file), pid) << c.name;
    }
  }
}
