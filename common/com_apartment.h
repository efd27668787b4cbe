// A thread's membership in a COM apartment for one scope: CoInitializeEx on construction,
// CoUninitialize on destruction only when the initialisation succeeded.
//
// Threading: constructed and destroyed on the same thread. Every COM pointer obtained inside
// the scope must be released before the scope ends.
#pragma once

#include <objbase.h>

namespace halvaro {

class ComApartment {
 public:
  explicit ComApartment(DWORD model = COINIT_MULTITHREADED)
      : result_(CoInitializeEx(nullptr, model)) {}
  ~ComApartment() {
    if (SUCCEEDED(result_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

  // S_OK, or S_FALSE when the thread was already in this apartment; a failure (such as
  // RPC_E_CHANGED_MODE) means the thread may not make COM calls in the model asked for.
  HRESULT result() const { return result_; }
  bool ok() const { return SUCCEEDED(result_); }

 private:
  HRESULT result_;
};

}  // namespace halvaro
