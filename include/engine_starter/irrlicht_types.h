// The few engine-header types the starter names. The dedicated server never
// creates a display device; these declarations are only the shape that the
// launcher and the updater refer to.
#ifndef ENGINE_STARTER_IRRLICHT_TYPES_H_
#define ENGINE_STARTER_IRRLICHT_TYPES_H_

#include <cstdint>
#include <string>

namespace irr {
namespace core {
// Narrow owning text (UTF-8 or ASCII paths).
using stringc = std::string;
// Wide text: one UTF-16 code unit per 32-bit wchar_t element.
using stringw = std::wstring;
}  // namespace core

using s32 = std::int32_t;
using u32 = std::uint32_t;
using f32 = float;

// An input event; the starter never consumes one.
struct SEvent {
  int EventType = 0;
};

// Receives input events from a display device.
class IEventReceiver {
 public:
  virtual ~IEventReceiver() = default;
  // Returns true when the event was consumed.
  virtual bool OnEvent(const SEvent& event) = 0;
};

// A display device with its event loop.
class IrrlichtDevice {
 public:
  virtual ~IrrlichtDevice() = default;
  // Runs one pass of the event loop; returns false once the device closed.
  virtual bool run() = 0;
};
}  // namespace irr

// The narrow string type of the application object and the configuration map.
using String = irr::core::stringc;
using stringc = irr::core::stringc;
using stringw = irr::core::stringw;

#endif  // ENGINE_STARTER_IRRLICHT_TYPES_H_
