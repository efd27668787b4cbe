#include "service/event_code.h"

#include <cwchar>
#include <cwctype>

namespace halvaro {

bool EventCodeFromVariant(const VARIANT& value, uint32_t* code) {
  switch (value.vt) {
    case VT_I1: *code = static_cast<uint32_t>(static_cast<int32_t>(value.cVal)); return true;
    case VT_UI1: *code = value.bVal; return true;
    case VT_I2: *code = static_cast<uint32_t>(static_cast<int32_t>(value.iVal)); return true;
    case VT_UI2: *code = value.uiVal; return true;
    case VT_I4: *code = static_cast<uint32_t>(value.lVal); return true;
    case VT_UI4: *code = static_cast<uint32_t>(value.ulVal); return true;
    case VT_INT: *code = static_cast<uint32_t>(value.intVal); return true;
    case VT_UINT: *code = static_cast<uint32_t>(value.uintVal); return true;
    case VT_BSTR: {
      const wchar_t* text = value.bstrVal;
      if (!text || !std::iswdigit(text[0])) return false;
      wchar_t* end = nullptr;
      const unsigned long long parsed = std::wcstoull(text, &end, 10);
      if (*end != L'\0' || parsed > 0xFFFFFFFFull) return false;
      *code = static_cast<uint32_t>(parsed);
      return true;
    }
    default:
      return false;  // VT_EMPTY after a failed read, VT_NULL, and everything else
  }
}

}  // namespace halvaro
