// The update key slot: a fixed-size, marked area of a starter's executable
// that holds the PEM text of the Ed25519 public key the starter trusts. The
// build fills it with STARTER_UPDATE_PUBLIC_KEY; a tool can fill the slot of
// a built executable afterwards, so that a packaged starter carries a key
// without being rebuilt. The area is kKeySlotMarkerSize marker bytes, then
// kKeySlotTextSize bytes of text, NUL-padded; all zero: no key.
#ifndef STARTER_LAUNCHER_KEY_SLOT_H_
#define STARTER_LAUNCHER_KEY_SLOT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::size_t kKeySlotMarkerSize = 32;
inline constexpr std::size_t kKeySlotTextSize = 480;
inline constexpr std::size_t kKeySlotSize =
    kKeySlotMarkerSize + kKeySlotTextSize;

// The text in this program's own slot, as it is in the executable now (read
// once, through volatile reads, so that no compiler takes the build's value
// for it); empty when the slot holds no key.
std::string_view OwnKeySlotText();

// What the slot of an executable holds.
enum class KeySlotState {
  // A key: `text` holds it (the slot's text up to its NUL).
  kKeyed,
  // The slot is there and empty: the starter trusts no key.
  kUnkeyed,
  // The file holds no slot of this program's kind (another program, or a
  // starter built before slots existed).
  kNoSlot,
  // The marker appears more than once, or the text is not NUL-padded text
  // holding a PEM public key ("-----BEGIN PUBLIC KEY-----"): the slot cannot
  // be told apart or was damaged.
  kDamaged,
  // The file cannot be read (`error` holds the errno).
  kUnreadable,
};

struct KeySlot {
  KeySlotState state = KeySlotState::kNoSlot;
  // kKeyed: the slot's text.
  std::string text;
  // kKeyed, kUnkeyed: where the slot's text begins in the file.
  std::uint64_t text_offset = 0;
  int error = 0;
};

// The slot of the executable at `path`, found by this program's own marker.
// Reads the file; changes nothing.
KeySlot ReadKeySlot(const std::string& path);

// Writes `text` (PEM text without a NUL, shorter than kKeySlotTextSize) into
// the slot of the file at `path`, NUL-padded over the rest, in place, and
// syncs the file. The file must hold exactly one slot (kKeyed or
// kUnkeyed). Returns false with errno set when it does not (EINVAL), the
// text does not fit (E2BIG), or a write fails.
bool FillKeySlot(const std::string& path, std::string_view text);

#endif  // STARTER_LAUNCHER_KEY_SLOT_H_
