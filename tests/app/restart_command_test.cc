#include "app/restart_command.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

// An argument vector over `args` with the lifetime of the object.
class Argv {
 public:
  explicit Argv(std::vector<std::string> args) : args_(std::move(args)) {
    for (std::string& a : args_) pointers_.push_back(a.data());
    pointers_.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(args_.size()); }
  char** argv() { return pointers_.data(); }

 private:
  std::vector<std::string> args_;
  std::vector<char*> pointers_;
};

// A script that writes each of its arguments on a line of its own, after
// its working directory, to `output`.
std::string WriteArgvScript(const TempDir& dir, const std::string& output) {
  const std::string path = dir / "printargs.sh";
  WriteFile(path, "#!/bin/sh\npwd > '" + output +
                      "'\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\" >> '" +
                      output + "'; done\n");
  RunShell("chmod +x '" + path + "'");
  return path;
}

}  // namespace

// One row per character: where the shell would act on it, it gets a
// backslash; the restart command, run through the system shell (and bash,
// which acts on more), hands the argument to the program as it was given.
TEST(RestartCommandTest, EveryCharacterTheShellActsOnReachesTheProgramAsGiven) {
  const struct {
    const char* arg;
    const char* word;
  } cases[] = {
      // Taken as they are.
      {"noautoupdate", "noautoupdate"},
      {"./DUdavi", "./DUdavi"},
      {"a_b.c/d,e:f@g+h-i", "a_b.c/d,e:f@g+h-i"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      // Commands, pipes, redirections, subshells.
      {"a;touch INJECTED", "a\\;touch"},
      {"a&touch INJECTED", "a\\&touch"},
      {"a|touch INJECTED", "a\\|touch"},
      {"<INJECTED", "\\<INJECTED"},
      {">INJECTED", "\\>INJECTED"},
      {"$(touch INJECTED)", "\\$\\(touch"},
      {"(x)", "\\(x\\)"},
      {"x)", "x\\)"},
      {"`touch INJECTED`", "\\`touch"},
      // Expansions and quoting.
      {"$HOME", "\\$HOME"},
      {"\\n", "\\\\n"},
      {"it's", "it\\'s"},
      {"\"q\"", "\\\"q\\\""},
      {"*", "\\*"},
      {"?", "\\?"},
      {"[a]", "\\[a\\]"},
      {"~", "\\~"},
      {"x=~", "x\\=\\~"},
      {"#comment", "\\#comment"},
      {"{a,b}", "\\{a,b\\}"},
      {"}", "\\}"},
      {"!", "\\!"},
      {"!!", "\\!\\!"},
      {"%1", "\\%1"},
      {"a=b", "a\\=b"},
      {"^x", "\\^x"},
      {"a\nb", "a'\n'b"},
  };
  TempDir dir;
  const std::string output = dir / "args.txt";
  const std::string script = WriteArgvScript(dir, output);
  ScopedCwd cwd(dir.path());
  for (const auto& c : cases) {
    const std::string arg = c.arg;
    // The word is checked up to the first blank, where the argument splits.
    EXPECT_EQ(NeutraliseShellCharacters(arg).substr(
                  0, NeutraliseShellCharacters(arg).find(' ')),
              c.word)
        << arg;
    Argv args({script, arg});
    WriteFile(dir / "restart.sh", BuildRestartCommand(args.argc(), args.argv()));
    std::string given = "[" + arg + "]\n";
    for (std::size_t blank; (blank = given.find(' ')) != std::string::npos;) {
      given.replace(blank, 1, "]\n[");
    }
    for (const char* shell : {"sh", "bash"}) {
      std::remove(output.c_str());
      EXPECT_EQ(RunShell(std::string(shell) + " restart.sh"), 0)
          << shell << " " << arg;
      EXPECT_EQ(ReadFile(output), dir.path() + "\n" + given)
          << shell << " " << arg;
      EXPECT_FALSE(PathExists(dir / "INJECTED")) << shell << " " << arg;
    }
  }
}

TEST(RestartCommandTest, PlainArgumentsEachFollowedByOneSpace) {
  Argv args({"./DUdavi", "autoconfig", "server.cfg"});
  EXPECT_EQ(BuildRestartCommand(args.argc(), args.argv()),
            "./DUdavi autoconfig server.cfg ");
}

TEST(RestartCommandTest, NullArgumentAddsOnlyItsSpace) {
  char prog[] = "./DUdavi";
  char* argv[] = {prog, nullptr, prog};
  EXPECT_EQ(BuildRestartCommand(3, argv), "./DUdavi  ./DUdavi ");
}

TEST(RestartCommandTest, ProgramPathWithEqualsSignIsNotAnAssignment) {
  Argv args({"./a=b", "x=y"});
  EXPECT_EQ(BuildRestartCommand(args.argc(), args.argv()), "./a\\=b x\\=y ");
  Argv assignment({"A_1=b", "x=y"});
  EXPECT_EQ(BuildRestartCommand(assignment.argc(), assignment.argv()),
            "A_1\\=b x\\=y ");
}

TEST(RestartCommandTest, ShellSplitsAtBlanksAndRunsNothingAnArgumentHolds) {
  TempDir dir;
  const std::string output = dir / "args.txt";
  const std::string script = WriteArgvScript(dir, output);
  Argv args({script, "noautoupdate", "my server.cfg", "a;touch INJECTED", "",
             "it's", "$HOME", "*", "${IFS}", "`touch INJECTED`",
             "x|touch INJECTED", "x&&touch INJECTED", "x\ntouch INJECTED",
             "x>INJECTED", "q\"uote\\d"});
  ScopedCwd cwd(dir.path());
  ASSERT_EQ(RunShell(BuildRestartCommand(args.argc(), args.argv())), 0);
  EXPECT_EQ(ReadFile(output),
            dir.path() +
                "\n[noautoupdate]\n[my]\n[server.cfg]\n[a;touch]\n"
                "[INJECTED]\n[it's]\n[$HOME]\n[*]\n[${IFS}]\n"
                "[`touch]\n[INJECTED`]\n[x|touch]\n"
                "[INJECTED]\n[x&&touch]\n[INJECTED]\n[x\ntouch]\n"
                "[INJECTED]\n[x>INJECTED]\n[q\"uote\\d]\n");
  EXPECT_FALSE(PathExists(dir / "INJECTED"));
}

TEST(RestartCommandTest, RestartRunsTheChildInTheApplicationDirectory) {
  TempDir dir;
  TempDir app_dir;
  const std::string output = dir / "args.txt";
  const std::string script = WriteArgvScript(dir, output);
  Argv args({script, "x y"});
  int status;
  {
    ScopedCwd cwd(dir.path());
    status = RestartProgram("Major file update - please restart the game\n",
                            app_dir.path(), args.argc(), args.argv());
  }
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(output), app_dir.path() + "\n[x]\n[y]\n");
}
