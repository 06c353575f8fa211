// The application object: its construction and the update paths it derives.
#include "engine_starter/application.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Each blank-separated address of updateURL is a mirror; the first is the
// update path offered to the game module.
TEST(UpdatePathTest, AppendsTheDedicatedPlatformDirectoryToEveryMirror) {
  const std::string platform = "linux32-dedicated-demo/";
  const struct {
    const char* update_url;
    std::vector<std::string> paths;
  } cases[] = {
      {"http://127.0.0.1:8090/10/", {"http://127.0.0.1:8090/10/" + platform}},
      {"", {platform}},
      {"http://edge/10/ https://origin/10/",
       {"http://edge/10/" + platform, "https://origin/10/" + platform}},
      {" \thttp://a/10/  \t http://b/10/\t",
       {"http://a/10/" + platform, "http://b/10/" + platform}},
      {"   ", {"   " + platform}},
  };
  CApplication app;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.update_url);
    app.defaults.updateURL = c.update_url;
    EXPECT_EQ(app.getUpdatePaths(), c.paths);
    EXPECT_EQ(app.getUpdatePath(), c.paths.front());
  }
}

TEST(UpdatePathTest, ConstructionRegistersAndDestructionClearsTheSingleton) {
  {
    auto app = std::make_unique<CApplication>();
    EXPECT_EQ(Singleton<CApplication>::GetSingleton(), app.get());
    EXPECT_EQ(app->game, nullptr);
    EXPECT_EQ(app->startupError, 0);
    EXPECT_TRUE(app->restartstring.empty());
    EXPECT_TRUE(app->modules.empty());
  }
  EXPECT_FALSE(Singleton<CApplication>::IsValid());
}
