#include "update/file_pair_index.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr char kHashA[] = "0123456789abcdef0123456789abcdef";
constexpr char kHashB[] = "fedcba9876543210fedcba9876543210";
constexpr char kHashAUpper[] = "0123456789ABCDEF0123456789ABCDEF";

TEST(FilePairIndexTest, MatchesNamesIgnoringCaseAndHashesExactly) {
  FilePairIndex index;
  index.Append("./Base/Gui/Skin.png", kHashA);
  index.Append("./Base/sound.ogg", kHashB);
  index.Append("./Base/sound.ogg", kHashA);  // a second record, same name
  // Texts that are not MD5 texts are kept as they are (see below).
  index.Append("./Base/gone.txt", "unreadable");
  index.Append("./Base/upper.bin", kHashAUpper);
  const struct {
    const char* name;
    const char* md5;
    bool found;
  } cases[] = {
      {"./Base/Gui/Skin.png", kHashA, true},
      {"./base/gui/skin.png", kHashA, true},
      {"./BASE/GUI/SKIN.PNG", kHashA, true},
      {"./Base/Gui/Skin.png", kHashAUpper, false},
      {"./Base/Gui/Skin.png", kHashB, false},
      {"./Base/Gui/Skin.pn", kHashA, false},
      {"./Base/Gui/Skin.png ", kHashA, false},
      {"./Base/sound.ogg", kHashB, true},
      // A record with the same name and another hash does not end the search.
      {"./Base/sound.ogg", kHashA, true},
      {"./Base/other.ogg", kHashA, false},
      {"", kHashA, false},
      // A text that is not 32 hex digits (the mark of a file that could not
      // be hashed) matches nothing, not even itself.
      {"./BASE/gone.txt", "unreadable", false},
      {"./Base/gone.txt", "unreadable", false},
      {"./Base/gone.txt", "unreadable ", false},
      {"./Base/gone.txt", kHashA, false},
      {"./base/upper.bin", kHashAUpper, true},
      {"./Base/upper.bin", kHashA, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(index.Contains(filemd5pair{c.name, c.md5}), c.found)
        << c.name << " " << c.md5;
  }
  // The digest of a name as the list spells it: the exact name's first
  // record, and nothing for another spelling or a record without a digest.
  const struct {
    const char* name;
    const char* md5;
  } digests[] = {
      {"./Base/Gui/Skin.png", kHashA},
      {"./base/gui/skin.png", ""},
      {"./Base/sound.ogg", kHashB},
      {"./Base/gone.txt", ""},
      {"./Base/upper.bin", ""},
      {"./Base/other.ogg", ""},
      {"", ""},
  };
  for (const auto& d : digests) {
    EXPECT_EQ(index.Md5Of(d.name), d.md5) << d.name;
  }
  EXPECT_EQ(FilePairIndex().Md5Of("./Base/sound.ogg"), "");
}

TEST(FilePairIndexTest, KeepsRecordsInAppendOrderUntilCleared) {
  FilePairIndex index;
  index.Append("./b", kHashB);
  index.Append("./a", kHashA);
  index.Append("./C", kHashAUpper);
  index.Append("./d", "unreadable");
  ASSERT_EQ(index.size(), 4u);
  EXPECT_EQ(index[0].filename, "./b");
  EXPECT_EQ(index[1].md5, kHashA);
  EXPECT_EQ(index[2].filename, "./C");
  EXPECT_EQ(index[2].md5, kHashAUpper);
  EXPECT_EQ(index[3].md5, "unreadable");
  index.clear();
  EXPECT_TRUE(index.empty());
  EXPECT_FALSE(index.Contains(filemd5pair{"./a", kHashA}));
}

}  // namespace
