// Owners of the two COM value types the programs hand to and take from COM calls.
//
// Threading: not synchronised; each owner is used by one thread at a time.
#pragma once

#include <oleauto.h>

namespace halvaro {

// A VARIANT cleared on destruction; VariantClear frees what it holds (a BSTR, an interface).
class UniqueVariant {
 public:
  UniqueVariant() { VariantInit(&value_); }
  ~UniqueVariant() { VariantClear(&value_); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;

  VARIANT* get() { return &value_; }
  const VARIANT& value() const { return value_; }

 private:
  VARIANT value_;
};

// A BSTR freed on destruction. A failed allocation leaves it null, which COM takes as "".
class UniqueBstr {
 public:
  explicit UniqueBstr(const wchar_t* text) : value_(SysAllocString(text)) {}
  ~UniqueBstr() { SysFreeString(value_); }
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;

  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

}  // namespace halvaro
