// The update key slot of the real starter executable: what the build put
// in it, what a tool writes into a copy, and files without a slot or with a
// damaged one.
#include "launcher/key_slot.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "launcher/compiled_settings.h"
#include "support/child_process.h"
#include "support/list_signing.h"
#include "support/temp_dir.h"

namespace {

constexpr char kMarker[] = "ENGINE-STARTER/UPDATE-KEY-SLOT/1";

TEST(KeySlotTest, TheBuildFillsTheSlotAndAToolRefillsACopy) {
  TempDir dir;
  const std::string starter = dir / "DUdavi";
  ASSERT_EQ(RunShell("cp '" STARTER_BINARY_PATH "' '" + starter + "'"), 0);
  const std::string test_key = ReadFile(TestPublicKeyPath());
  KeySlot slot = ReadKeySlot(starter);
  // The build's key, or none; this program's own slot holds the same.
  if (kStarterChecksSignatures) {
    EXPECT_EQ(slot.state, KeySlotState::kKeyed);
    EXPECT_EQ(slot.text, test_key);
  } else {
    EXPECT_EQ(slot.state, KeySlotState::kUnkeyed);
    EXPECT_EQ(slot.text, "");
  }
  EXPECT_EQ(slot.text, std::string(CompiledUpdatePublicKey()));
  EXPECT_EQ(std::string(OwnKeySlotText()), slot.text);

  const std::string before = ReadFile(starter);
  const KeyPairFiles other = MakeKeyPair(dir.path(), "other");
  const std::string other_key = ReadFile(other.public_key);
  ASSERT_TRUE(FillKeySlot(starter, other_key));
  slot = ReadKeySlot(starter);
  EXPECT_EQ(slot.state, KeySlotState::kKeyed);
  EXPECT_EQ(slot.text, other_key);
  // Only the slot's text changed.
  const std::string after = ReadFile(starter);
  ASSERT_EQ(after.size(), before.size());
  for (std::size_t i = 0; i < after.size(); ++i) {
    if (after[i] != before[i]) {
      ASSERT_GE(i, slot.text_offset);
      ASSERT_LT(i, slot.text_offset + kKeySlotTextSize);
    }
  }
  ASSERT_TRUE(FillKeySlot(starter, ""));
  EXPECT_EQ(ReadKeySlot(starter).state, KeySlotState::kUnkeyed);

  errno = 0;
  EXPECT_FALSE(FillKeySlot(starter, std::string(kKeySlotTextSize, 'k')));
  EXPECT_EQ(errno, E2BIG);
  EXPECT_EQ(ReadKeySlot(starter).state, KeySlotState::kUnkeyed);
}

TEST(KeySlotTest, FilesWithoutOneSlotAreNeitherReadNorFilled) {
  TempDir dir;
  const std::string marker(kMarker);
  const std::string text = "-----BEGIN PUBLIC KEY-----\nMCo=\n";
  const std::string area(kKeySlotTextSize - text.size(), '\0');
  const struct {
    const char* name;
    std::string content;
    KeySlotState state;
  } cases[] = {
      {"a script", "#!/bin/sh\nexec ./OKUdedi\n", KeySlotState::kNoSlot},
      {"a slot", "head" + marker + text + area + "tail", KeySlotState::kKeyed},
      {"two slots",
       marker + std::string(kKeySlotTextSize, '\0') + marker +
           std::string(kKeySlotTextSize, '\0'),
       KeySlotState::kDamaged},
      {"cut short", "head" + marker + text, KeySlotState::kDamaged},
      {"text without its NUL",
       marker + std::string(kKeySlotTextSize, 'k'), KeySlotState::kDamaged},
      {"bytes after the NUL",
       marker + text + '\0' + "x" + std::string(area.size() - 2, '\0'),
       KeySlotState::kDamaged},
      {"text that is no key",
       marker + "not a key" + std::string(kKeySlotTextSize - 9, '\0'),
       KeySlotState::kDamaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir / "file";
    WriteFile(path, c.content);
    const KeySlot slot = ReadKeySlot(path);
    EXPECT_EQ(slot.state, c.state);
    const bool fillable = c.state == KeySlotState::kKeyed;
    EXPECT_EQ(FillKeySlot(path, "-----BEGIN PUBLIC KEY-----\n"), fillable);
    if (!fillable) {
      EXPECT_EQ(ReadFile(path), c.content);
    }
  }
  EXPECT_EQ(ReadKeySlot(dir / "absent").state, KeySlotState::kUnreadable);
}

}  // namespace
