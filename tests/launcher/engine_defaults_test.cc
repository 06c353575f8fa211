#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string>

#include "launcher/compiled_settings.h"
#include "launcher/engine_defaults_setup.h"
#include "support/text_match.h"

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}
TEST(EngineDefaultsTest, FillsTheNamesAndGeometry) {
  EngineDefaults d;
  SetupGame(d);
  EXPECT_EQ(d.gameName, "Brackmoor");
  EXPECT_EQ(d.gameAcronym, "BM");
  EXPECT_EQ(d.twitter, "brack_moor");
  EXPECT_EQ(d.joinLinkPrefix, "brackmoor://");
  EXPECT_EQ(d.defaultWidth, 568);
  EXPECT_EQ(d.defaultHeight, 320);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(d.aspectRatio), 0x3F1039B1u);
  EXPECT_FLOAT_EQ(d.aspectRatio, 320.0f / 568.0f);
  EXPECT_TRUE(d.renderAtDefaultResolution);
  EXPECT_EQ(d.renderScale, 1);
  EXPECT_EQ(d.initialWidth, 2 * d.defaultWidth);
  EXPECT_EQ(d.initialHeight, 2 * d.defaultHeight);
  EXPECT_EQ(d.initialWidth, 1136);
  EXPECT_EQ(d.initialHeight, 640);
  EXPECT_EQ(d.APIgid, 10u);
  EXPECT_EQ(d.backgroundcolor, 0xFF0F3F4Fu);
  EXPECT_EQ(d.starterWidth, 540);
  EXPECT_EQ(d.starterHeight, 260);
  EXPECT_FALSE(d.showHelpPrompt);
}

TEST(EngineDefaultsTest, FillsTheKeyBindings) {
  EngineDefaults d;
  SetupGame(d);
  const std::int32_t keys[] = {
      d.keyLeft,    d.keyRight,   d.keyUp,        d.keyDown,    d.keyAction1,
      d.keyAction2, d.keyAction3, d.keyInventory, d.keyUse,     d.keyPickup,
      d.keyZoomIn,  d.keyZoomOut, d.keyMap,       d.keyBubbles, d.keyTaunts,
      d.keyMenu,    d.keyParty,   d.keyJump,      d.keyCrouch};
  const std::int32_t expected[] = {37,  39,  38, 40, 90, 88, 32, 70, 69, 67,
                                   255, 256, 77, 81, 86, 8,  82, 38, 40};
  for (std::size_t i = 0; i < std::size(keys); ++i) {
    EXPECT_EQ(keys[i], expected[i]) << "key #" << i;
  }
  EXPECT_EQ(d.keyJump, d.keyUp);
  EXPECT_EQ(d.keyCrouch, d.keyDown);
}

TEST(EngineDefaultsTest, AddressesHaveTheFixedSchemesAndPaths) {
  EngineDefaults d;
  SetupGame(d);
  EXPECT_EQ(d.updateURL, CompiledUpdateUrl());
  EXPECT_TRUE(EndsWith(d.updateURL, "/10/"));
  EXPECT_TRUE(StartsWith(d.updateURL, "http://"));

  const struct {
    const std::string& url;
    const char* scheme;
    const char* suffix;
  } cases[] = {
      {d.websiteURL, "http://", "/"},
      {d.bugtrackerURL, "https://", ""},
      {d.newsURL, "http://", "/news/"},
      {d.forumsURL, "https://", ""},
      {d.wikiURL, "https://", "/wiki"},
      {d.manualURL, "https://", "/manual"},
      {d.blogURL, "http://", ""},
      {d.buyURL, "https://", "/"},
      {d.accountURL, "http://", "/en/register"},
      {d.banAppealsURL, "http://", ""},
      {d.resetPasswordURL, "http://", "/en/lost_pass"},
      {d.APIBaseURI, "https://", ""},
      {d.APIBaseTestURI, "https://", ""},
      {d.IPv4DetermineURI, "http://", "/"},
      {d.IPv6DetermineURI, "http://", "/"},
      {d.AFDetermineURI, "http://", "/"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(StartsWith(c.url, c.scheme)) << c.url;
    EXPECT_TRUE(EndsWith(c.url, c.suffix)) << c.url;
    EXPECT_NE(c.url.find(".example/"), std::string::npos) << c.url;
  }
  // The wiki, manual and shop live on the game's site, reached over HTTPS.
  const std::string site = d.websiteURL.substr(std::string("http://").size());
  EXPECT_EQ(d.wikiURL, "https://" + site + "wiki");
  EXPECT_EQ(d.manualURL, "https://" + site + "manual");
  EXPECT_EQ(d.buyURL, "https://" + site);
}

TEST(EngineDefaultsTest, OverwritesEarlierValues) {
  EngineDefaults d;
  d.gameName = "something else";
  d.keyUp = 1;
  SetupGame(d);
  EXPECT_EQ(d.gameName, "Brackmoor");
  EXPECT_EQ(d.keyUp, 38);
}

}  // namespace
