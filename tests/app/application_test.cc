// The application object: its construction and the update path it derives.
#include <gtest/gtest.h>

#include "engine_starter/application.h"

TEST(UpdatePathTest, AppendsTheDedicatedPlatformDirectory) {
  CApplication app;
  app.defaults.updateURL = "http://127.0.0.1:8090/10/";
  EXPECT_EQ(app.getUpdatePath(),
            "http://127.0.0.1:8090/10/linux32-dedicated-demo/");
  app.defaults.updateURL = "";
  EXPECT_EQ(app.getUpdatePath(), "linux32-dedicated-demo/");
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
