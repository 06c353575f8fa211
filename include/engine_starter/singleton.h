// Process-wide registration of the one object of a type.
#ifndef ENGINE_STARTER_SINGLETON_H_
#define ENGINE_STARTER_SINGLETON_H_

// Base of a type with at most one live object. Constructing the derived object
// registers it in ms_singleton; destroying it clears the pointer. A second
// object simply replaces the registration (there is no check).
template <typename T>
class Singleton {
 public:
  // The derived object is not yet constructed when it registers, which the
  // sanitizer's dynamic-type check would report; the pointer is only stored.
#if defined(__GNUC__)
  __attribute__((no_sanitize("vptr")))
#endif
  Singleton() { ms_singleton = static_cast<T*>(this); }
  ~Singleton() { ms_singleton = nullptr; }
  Singleton(const Singleton&) = delete;
  Singleton& operator=(const Singleton&) = delete;

  // The registered object, or null when none exists.
  static T* GetSingleton() { return ms_singleton; }
  // True while an object is registered.
  static bool IsValid() { return ms_singleton != nullptr; }

  static inline T* ms_singleton = nullptr;
};

#endif  // ENGINE_STARTER_SINGLETON_H_
