// Move-only owners for platform handles: one small template, one traits struct per handle
// kind. A traits struct says which values are empty (never closed) and how to close.
//
// Kernel handles have one rule: null and INVALID_HANDLE_VALUE are both empty, whichever call
// produced them (CreateFileW and CreateToolhelp32Snapshot fail with INVALID_HANDLE_VALUE,
// CreateEventW and CreateThread with null), so a failed open never looks valid.
//
// Closing keeps the thread's last-error value: `UniqueHandle h(CreateFileW(...)); if (!h)
// return GetLastError();` reports the open's error even after a reset in between.
//
// Threading: an owner is not synchronised; share it between threads only under the lock that
// guards the field holding it.
#pragma once

#include <windows.h>

#include <utility>

namespace halvaro {

template <typename Traits>
class UniqueResource {
 public:
  using Type = typename Traits::Type;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Type value) noexcept : value_(Normalise(value)) {}
  ~UniqueResource() { reset(); }

  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  Type get() const noexcept { return value_; }
  bool valid() const noexcept { return !Traits::IsEmpty(value_); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  Type release() noexcept { return std::exchange(value_, Traits::Empty()); }

  void reset(Type value = Traits::Empty()) noexcept {
    Type old = std::exchange(value_, Normalise(value));
    if (Traits::IsEmpty(old)) return;
    const DWORD error = ::GetLastError();
    Traits::Close(old);
    ::SetLastError(error);
  }

  // For out-parameters of platform calls; closes what was held first. An empty value that
  // the call leaves behind stays empty.
  Type* put() noexcept {
    reset();
    return &value_;
  }

 private:
  static Type Normalise(Type value) noexcept {
    return Traits::IsEmpty(value) ? Traits::Empty() : value;
  }

  Type value_ = Traits::Empty();
};

// Events, mutexes, threads, pipes, files, devices, snapshots, tokens, processes.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  static bool IsEmpty(Type h) { return h == nullptr || h == INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};

// Owners whose only empty value is null.
#define HALVARO_NULL_EMPTY_TRAITS(Name, HandleType, CloseCall) \
  struct Name {                                                \
    using Type = HandleType;                                   \
    static Type Empty() { return nullptr; }                    \
    static bool IsEmpty(Type h) { return h == nullptr; }       \
    static void Close(Type h) { CloseCall(h); }                \
  };

HALVARO_NULL_EMPTY_TRAITS(RegKeyTraits, HKEY, ::RegCloseKey)
HALVARO_NULL_EMPTY_TRAITS(ServiceHandleTraits, SC_HANDLE, ::CloseServiceHandle)
// DestroyWindow works only on the thread that created the window: a window's owner lives
// on that thread.
HALVARO_NULL_EMPTY_TRAITS(WindowTraits, HWND, ::DestroyWindow)
HALVARO_NULL_EMPTY_TRAITS(SidTraits, PSID, ::FreeSid)  // AllocateAndInitializeSid results
HALVARO_NULL_EMPTY_TRAITS(MappedViewTraits, void*, ::UnmapViewOfFile)  // MapViewOfFile results
HALVARO_NULL_EMPTY_TRAITS(EventSourceTraits, HANDLE, ::DeregisterEventSource)  // RegisterEventSourceW
#undef HALVARO_NULL_EMPTY_TRAITS

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueRegKey = UniqueResource<RegKeyTraits>;
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;
using UniqueWindow = UniqueResource<WindowTraits>;
using UniqueSid = UniqueResource<SidTraits>;
using UniqueMappedView = UniqueResource<MappedViewTraits>;
using UniqueEventSource = UniqueResource<EventSourceTraits>;

}  // namespace halvaro
