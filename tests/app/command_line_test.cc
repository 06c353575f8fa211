#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_starter/application.h"

namespace {

struct Switches {
  bool only_update = false;
  bool use_update = true;
  bool steam = false;
  bool menus = true;
  std::string autoconfig = "autoconfig.cfg";
  std::string autostart = "Scripts/server_autostart.as";
  std::string base_dir = "Base/";
  bool full_mod = false;
};

class CommandLineTest : public ::testing::Test {
 protected:
  // Parses `args` (argv[0] included) and returns what it printed.
  std::string Parse(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Run sets these before it parses.
    app.baseDir = "Base/";
    app.fullMod = false;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(app.ParseCmdLine(static_cast<int>(args.size()), argv.data()), 0);
    return ::testing::internal::GetCapturedStdout();
  }

  void ExpectSwitches(const Switches& s, const std::string& label) {
    EXPECT_EQ(app.onlyAutoUpdate, s.only_update) << label;
    EXPECT_EQ(app.useAutoupdate, s.use_update) << label;
    EXPECT_EQ(app.useSteam, s.steam) << label;
    EXPECT_EQ(app.useScriptedMenus, s.menus) << label;
    EXPECT_EQ(app.autoconfig, s.autoconfig) << label;
    EXPECT_EQ(app.autostart, s.autostart) << label;
    EXPECT_EQ(app.baseDir, s.base_dir) << label;
    EXPECT_EQ(app.fullMod, s.full_mod) << label;
  }

  CApplication app;
};

}  // namespace

TEST_F(CommandLineTest, EachSwitchPrintsItsMessageAndSetsItsField) {
  const struct {
    std::vector<std::string> args;
    std::string printed;
    Switches expected;
  } cases[] = {
      {{"./DUdavi"}, "", {}},
      {{"./DUdavi", "onlyautoupdate"},
       "Running solely to Update\n",
       {.only_update = true}},
      {{"./DUdavi", "noautoupdate"},
       "Running without AutoUpdate\n",
       {.use_update = false}},
      {{"./DUdavi", "steam"}, "Running with Steamworks\n", {.steam = true}},
      {{"./DUdavi", "menus"}, "Running with scripted menus\n", {}},
      {{"./DUdavi", "noconsole"}, "Closing console\n", {}},
      {{"./DUdavi", "autoconfig", "my.cfg"}, "", {.autoconfig = "my.cfg"}},
      {{"./DUdavi", "autostart", "go.as"}, "", {.autostart = "go.as"}},
      {{"./DUdavi", "base", "MyMod"},
       "",
       {.base_dir = "MyMod/", .full_mod = true}},
      // The same switch twice prints twice.
      {{"./DUdavi", "steam", "steam"},
       "Running with Steamworks\nRunning with Steamworks\n",
       {.steam = true}},
  };
  for (const auto& c : cases) {
    const std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(Parse(c.args), c.printed) << label;
    ExpectSwitches(c.expected, label);
  }
}

TEST_F(CommandLineTest, QuirksACallerCanTripOver) {
  const struct {
    std::vector<std::string> args;
    std::string printed;
    Switches expected;
  } cases[] = {
      // The program path is examined like any argument.
      {{"steam"}, "Running with Steamworks\n", {.steam = true}},
      // Exact matches only.
      {{"./steam", "-steam", "Steam", "steam=1", "--noautoupdate", "steam "},
       "",
       {}},
      // A value-taking switch as the last argument is ignored.
      {{"./DUdavi", "autoconfig"}, "", {}},
      {{"./DUdavi", "base"}, "", {}},
      // A consumed value is tested again as a switch.
      {{"./DUdavi", "autoconfig", "autostart", "third"},
       "",
       {.autoconfig = "autostart", .autostart = "third"}},
      {{"./DUdavi", "autoconfig", "base", "Mod"},
       "",
       {.autoconfig = "base", .base_dir = "Mod/", .full_mod = true}},
      // ...but only against the value switches after it, and only when a
      // further argument exists.
      {{"./DUdavi", "autoconfig", "base"}, "", {.autoconfig = "base"}},
      {{"./DUdavi", "autostart", "autoconfig", "x"},
       "",
       {.autostart = "autoconfig"}},
      // A value is never tested against the message switches.
      {{"./DUdavi", "autoconfig", "steam"}, "", {.autoconfig = "steam"}},
      {{"./DUdavi", "autoconfig", "steam", "x"}, "", {.autoconfig = "steam"}},
  };
  for (const auto& c : cases) {
    const std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(Parse(c.args), c.printed) << label;
    ExpectSwitches(c.expected, label);
  }
}

TEST_F(CommandLineTest, ParsingAgainStartsFromTheDefaults) {
  Parse({"./DUdavi", "noautoupdate", "steam", "autoconfig", "a.cfg"});
  Parse({"./DUdavi"});
  ExpectSwitches({}, "second parse");
}

TEST_F(CommandLineTest, NullArgumentsMatchNothing) {
  char prog[] = "./DUdavi";
  char autoconfig[] = "autoconfig";
  char* argv[] = {prog, autoconfig, nullptr, nullptr};
  EXPECT_EQ(app.ParseCmdLine(3, argv), 0);
  EXPECT_EQ(app.autoconfig, "");
}
