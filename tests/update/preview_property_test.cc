// The preview of the next start (starter-verify --server, the real binary)
// against the real update run, over many small game directories that a
// generator with a fixed seed makes: missing, changed and current files, a
// FIFO, a socket or a dangling link at a listed path, unlisted files in and
// out of Base, ignore lists, the game's executable, links inside (an alias,
// a loop, a link to a listed file, hard links) and outside the game
// directory (to a directory, and at a listed file's own name),
// duplicate, refused and malformed entries, equal keys over differing
// files. For each, the files the preview names are exactly those the run
// then requests (in order) and moves to ./old, and the preview's end (key
// match, failure, list installed, restart) is the run's; the tool changes
// nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/md5.h"
#include "engine/paths.h"
#include "support/scoped_tmpfs.h"
#include "support/text_match.h"
#include "verify_tool_fixture.h"

namespace {

// How many game directories the property is checked on: fewer (the same
// first ones) in a sanitized build, where every run of the tool costs
// several times more.
constexpr int kScenarios = STARTER_SANITIZED ? 64 : 160;
constexpr std::uint32_t kSeed = 20250125;

// The paths a release may hold, below the game directory.
const char* const kReleasePaths[] = {
    "Base/a.png",      "Base/sub/b.xml",    "Base/textures/t.png",
    "Base/maps/m.txt", "Base/c.cfg",        "data.bin",
    "OKUdedi",         "dedicatedserver.sh"};

// Unlisted files a game directory may hold: moved to ./old or not by the
// relocation's rules.
const char* const kUnlistedPaths[] = {
    "Base/old1.png",       "Base/sub/old2.cfg",  "Base/Sounds/x.OGG",
    "Base/notes.bin",      "Base/maps/keep.txt", "Base/mine.cfg",
    "Base/textures/u.png", "loose.cfg",          "Other/stray.png"};

// Choices drawn from a seeded engine; `log` keeps a line per choice, so a
// failing scenario can be told from its trace.
class Draw {
 public:
  explicit Draw(std::uint32_t seed) : engine_(seed) {}
  bool Chance(unsigned percent, const std::string& what) {
    const bool yes = engine_() % 100 < percent;
    if (yes) log << what << "\n";
    return yes;
  }
  std::uint32_t Below(std::uint32_t n) {
    return static_cast<std::uint32_t>(engine_() % n);
  }
  std::ostringstream log;

 private:
  std::mt19937 engine_;
};

std::string Md5Of(const std::string& text) {
  return Md5Hex(text.data(), text.size());
}

// One listed entry of the server's list.
struct Entry {
  std::string path;  // as listed
  std::string hash;
};

// Puts the temporary directories of the fixture that follows it on a tmpfs
// when one can be mounted (as root; else they stay where they are): every
// scenario makes and removes a few dozen files, quicker in memory.
class OnTmpfs {
 protected:
  OnTmpfs()
      : tmpfs_(root_.path(), "64m"),
        tmpdir_("TMPDIR",
                tmpfs_.mounted()
                    ? root_.path()
                    : std::filesystem::temp_directory_path().string()) {}

 private:
  TempDir root_;
  ScopedTmpfs tmpfs_;
  ScopedEnv tmpdir_;
};

class PreviewPropertyTest : private OnTmpfs, public VerifyToolFixture {
 protected:
  // Removes everything the last scenario left, except the log.
  void Reset() {
    for (const std::string& name : NamesIn(game_)) {
      if (name != "Logs") std::filesystem::remove_all(Game(name));
    }
    for (const char* dir : {"App", "Cache", "Downloads", "Downloads/App",
                            "Mods", "Security", "Screenshots", "Base"}) {
      mkdir(Game(dir).c_str(), 0755);
    }
    for (const std::string& name : NamesIn(release_.path())) {
      std::filesystem::remove_all(release_ / name);
    }
    std::filesystem::remove_all(Outer("shared"));
    std::filesystem::remove_all(Outer("elsewhere"));
  }

  // A place in `entries`, drawn.
  static std::size_t Place(Draw& d, const std::vector<Entry>& entries) {
    return d.Below(static_cast<std::uint32_t>(entries.size() + 1));
  }

  void Link(const std::string& target, const std::string& path) {
    MakeParentDirectories(Game(path));
    ASSERT_EQ(symlink(target.c_str(), Game(path).c_str()), 0) << path;
  }

  // Makes scenario `draw` in the game directory and on the server; returns
  // the server's list.
  std::string MakeScenario(Draw& d);

  // Checks the preview against the real run on the current scenario.
  void CheckPreviewAgainstRun(const std::string& list);
};

std::string PreviewPropertyTest::MakeScenario(Draw& d) {
  // The release, and the local copy of each of its files.
  std::vector<Entry> entries;
  for (const char* path : kReleasePaths) {
    if (!d.Chance(55, std::string("listed ") + path)) continue;
    const std::string content = std::string("release ") + path;
    WriteFile(ReleasePath(path), content);
    entries.push_back({std::string("./") + path, Md5Of(content)});
    if (d.Chance(5, "  listed as unreadable"))
      entries.back().hash = "unreadable";
    const std::uint32_t local = d.Below(100);
    if (local < 40) {
      d.log << "  current\n";
      WriteGame(path, content);
    } else if (local < 60) {
      d.log << "  changed\n";
      WriteGame(path, "local " + content);
    } else if (local < 75) {
      d.log << "  missing\n";
    } else if (local < 81) {
      d.log << "  a FIFO\n";
      MakeParentDirectories(Game(path));
      EXPECT_EQ(mkfifo(Game(path).c_str(), 0644), 0) << path;
    } else if (local < 85) {
      d.log << "  a socket\n";
      EXPECT_TRUE(MakeSocketFile(Game(path))) << path;
    } else if (local < 92) {
      d.log << "  a dangling link inside\n";
      Link("nothere.dat", path);
    } else if (local < 96) {
      d.log << "  a link to a current copy inside\n";
      WriteGame("Extra/" + NameOf(path), content);
      Link(Game("Extra/" + NameOf(path)), path);
    } else {
      const bool current = d.Chance(50, "  a link to a current copy outside");
      if (!current) d.log << "  a link to a changed copy outside\n";
      const std::string target = Outer("elsewhere/" + NameOf(path));
      WriteFile(target, current ? content : "theirs " + content);
      Link(target, path);
    }
  }
  // Entries the run refuses, repeats and equal keys.
  if (!entries.empty() && d.Chance(20, "a listed path repeated")) {
    const std::size_t original = Place(d, entries) % entries.size();
    Entry again = entries[original];
    std::size_t at = Place(d, entries);
    if (d.Chance(50, "  with another hash")) {
      again.hash = Md5Of("another");
      // The server's file is the one the first hash names (the preview's
      // premise): the other hash comes after it.
      at = std::max(at, original + 1);
    }
    entries.insert(entries.begin() + at, again);
  }
  const char* const refused[] = {"./../escaped.png", "Base/no_dot.png",
                                 "./Base\\x.png"};
  if (d.Chance(12, "a refused entry")) {
    entries.insert(entries.begin() + Place(d, entries),
                   {refused[d.Below(3)], Md5Of("x")});
  }
  if (d.Chance(5, "a malformed entry")) {
    entries.insert(entries.begin() + Place(d, entries),
                   {"./Base/" + std::string(300, 'l') + ".png", Md5Of("l")});
  }
  // Unlisted files, links and ignore lists.
  for (const char* path : kUnlistedPaths) {
    if (d.Chance(25, std::string("unlisted ") + path)) {
      WriteGame(path, std::string("unlisted ") + path);
    }
  }
  if (d.Chance(25, "alias Base/Textures -> textures")) {
    mkdir(Game("Base/textures").c_str(), 0755);
    Link("textures", "Base/Textures");
  }
  if (d.Chance(20, "loop Base/again -> .")) Link(".", "Base/again");
  if (PathExists(Game("Base/a.png")) &&
      d.Chance(15, "unlisted link Base/lnk.txt -> a.png")) {
    Link("a.png", "Base/lnk.txt");
  }
  if (d.Chance(10, "unlisted link Base/far.txt -> ../loose.cfg")) {
    Link("../loose.cfg", "Base/far.txt");
  }
  if (PathExists(Game("Base/a.png")) &&
      d.Chance(10, "unlisted hard link Base/hard.png to Base/a.png")) {
    EXPECT_EQ(link(Game("Base/a.png").c_str(), Game("Base/hard.png").c_str()),
              0);
  }
  if (PathExists(Game("Base/old1.png")) &&
      d.Chance(25, "second name Base/old1b.png of Base/old1.png")) {
    EXPECT_EQ(
        link(Game("Base/old1.png").c_str(), Game("Base/old1b.png").c_str()), 0);
  }
  if (d.Chance(20, "Base/shared -> a directory outside")) {
    WriteFile(Outer("shared/s.png"), "s");
    WriteFile(Outer("shared/u.cfg"), "shared, not the game's");
    Link(Outer("shared"), "Base/shared");
    if (d.Chance(50, "  ./Base/shared/s.png listed")) {
      entries.push_back({"./Base/shared/s.png", Md5Of("s2")});
    }
  }
  std::string ignored;
  for (const Entry& entry : entries) {
    if (entry.path.rfind("./", 0) == 0 &&
        d.Chance(15, "ignored " + entry.path)) {
      ignored += entry.path.substr(2) + "\n";
    }
  }
  if (d.Chance(15, "ignored mine.cfg")) ignored += "mine.cfg\n";
  if (!ignored.empty()) {
    WriteGame(d.Below(2) == 0 ? "autoupdate_ignore.cfg"
                              : "autoupdate_ignore_custom.cfg",
              ignored);
  }

  std::string list = "version_file " + std::to_string(kNewKey) + "\n";
  for (const Entry& entry : entries)
    list += entry.path + " " + entry.hash + "\n";
  WriteFile(ServerListPath(), list);
  if (kStarterChecksSignatures) {
    EXPECT_EQ(SignWithOpenssl(TestPrivateKeyPath(), ServerListPath()), 0);
  }
  const std::uint32_t version = d.Below(100);
  if (version < 20) {
    d.log << "the installed list carries the server's key\n";
    WriteGame("App/version.txt", list);
  } else if (version < 90) {
    WriteGame("App/version.txt",
              "version_file " + std::to_string(kInstalledKey) + "\n");
  } else {
    d.log << "no version file\n";
  }
  return list;
}

void PreviewPropertyTest::CheckPreviewAgainstRun(const std::string& list) {
  const VerifyRun preview = Verify({"--server"});
  ASSERT_NE(preview.status, 2) << preview.err;
  const std::size_t since = server_.Requests().size();
  const RunOutcome run = RealRun();
  SCOPED_TRACE("preview:\n" + preview.out + "run log:\n" + run.log);

  EXPECT_EQ(FetchedFiles(since), PredictedRequests(preview.out));
  const std::set<std::string> moves = LinesAfter(preview.out, "would move ");
  EXPECT_EQ(MovedFiles(), moves);
  for (const std::string& moved : moves) {
    EXPECT_FALSE(PathExists(Game(moved))) << moved;
  }
  const bool keys_match = Contains(preview.out, "up to date (key matches)\n");
  EXPECT_EQ(Contains(run.log, "Version file the same (key matches)"),
            keys_match);
  EXPECT_EQ(run.error != 0,
            Contains(preview.out, "would fail (the list is not installed)\n"));
  if (!keys_match) {
    EXPECT_EQ(Local("App/version.txt") == list,
              Contains(preview.out, "would replace App/version.txt\n"));
  }
  // The starter restarts only after a run without error.
  EXPECT_EQ(run.error == 0 && run.restartrequired,
            Contains(preview.out, "would restart\n"));
  EXPECT_EQ(preview.status,
            Contains(preview.out, "summary: no change,") ? 0 : 1);
}

TEST_F(PreviewPropertyTest, PreviewSaysWhatTheRunThenDoes) {
  for (int i = 0; i < kScenarios; ++i) {
    Reset();
    Draw draw(kSeed + static_cast<std::uint32_t>(i));
    const std::string list = MakeScenario(draw);
    SCOPED_TRACE("scenario " + std::to_string(i) + ":\n" + draw.log.str());
    CheckPreviewAgainstRun(list);
    if (HasFailure()) break;  // one scenario's trace is enough
  }
  RecordProperty("scenarios", kScenarios);
}

}  // namespace
