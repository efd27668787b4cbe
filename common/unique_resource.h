// Move-only owners for platform handles: one small template, one traits struct per handle
// kind, each with an explicit empty value.
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
  explicit UniqueResource(Type value) noexcept : value_(value) {}
  ~UniqueResource() { reset(); }

  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;

  Type get() const noexcept { return value_; }
  bool valid() const noexcept { return value_ != Traits::Empty(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  Type release() noexcept { return std::exchange(value_, Traits::Empty()); }

  void reset(Type value = Traits::Empty()) noexcept {
    Type old = std::exchange(value_, value);
    if (old != Traits::Empty()) Traits::Close(old);
  }

  // For out-parameters of platform calls; closes what was held first.
  Type* put() noexcept {
    reset();
    return &value_;
  }

 private:
  Type value_ = Traits::Empty();
};

struct KernelHandleTraits {  // events, mutexes, threads, pipes: empty is null
  using Type = HANDLE;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { ::CloseHandle(h); }
};

struct FileHandleTraits {  // CreateFileW results: empty is INVALID_HANDLE_VALUE
  using Type = HANDLE;
  static Type Empty() { return INVALID_HANDLE_VALUE; }
  static void Close(Type h) { ::CloseHandle(h); }
};

struct RegKeyTraits {
  using Type = HKEY;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { ::RegCloseKey(h); }
};

struct ServiceHandleTraits {
  using Type = SC_HANDLE;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { ::CloseServiceHandle(h); }
};

struct WindowTraits {
  using Type = HWND;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { ::DestroyWindow(h); }
};

struct SidTraits {  // AllocateAndInitializeSid results
  using Type = PSID;
  static Type Empty() { return nullptr; }
  static void Close(Type h) { ::FreeSid(h); }
};

using UniqueHandle = UniqueResource<KernelHandleTraits>;
using UniqueFile = UniqueResource<FileHandleTraits>;
using UniqueRegKey = UniqueResource<RegKeyTraits>;
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;
using UniqueWindow = UniqueResource<WindowTraits>;
using UniqueSid = UniqueResource<SidTraits>;

}  // namespace halvaro
