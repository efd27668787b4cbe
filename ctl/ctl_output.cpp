#include "ctl/ctl_output.h"

#include <windows.h>

#include <cstdio>

namespace halvaro::ctl {

std::string JsonEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (byte < 0x20 || byte >= 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof(escaped), "\\u%04X", byte);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out;
}

JsonObject& JsonObject::Raw(const char* key, const std::string& value) {
  if (!body_.empty()) body_ += ',';
  body_ += '"';
  body_ += JsonEscape(key);
  body_ += "\":";
  body_ += value;
  return *this;
}

JsonObject& JsonObject::Text(const char* key, std::string_view value) {
  return Raw(key, "\"" + JsonEscape(value) + "\"");
}

JsonObject& JsonObject::Number(const char* key, uint64_t value) {
  return Raw(key, std::to_string(value));
}

JsonObject& JsonObject::Bool(const char* key, bool value) {
  return Raw(key, value ? "true" : "false");
}

JsonObject& JsonObject::Null(const char* key) { return Raw(key, "null"); }

JsonObject& JsonObject::Object(const char* key, const JsonObject& value) {
  return Raw(key, value.str());
}

JsonObject& JsonObject::Members(const JsonObject& other) {
  if (!body_.empty() && !other.body_.empty()) body_ += ',';
  body_ += other.body_;
  return *this;
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::string Hex8(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%02X", static_cast<unsigned>(value));
  return text;
}

std::string LocalTimestamp() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char text[32];
  std::snprintf(text, sizeof(text), "%04u-%02u-%02uT%02u:%02u:%02u.%03u", t.wYear, t.wMonth,
                t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  return text;
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out += (*text >= 0x20 && *text < 0x7F) ? static_cast<char>(*text) : '?';
  return out;
}

void PrintLine(const std::string& line) {
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void PrintError(const std::string& line) {
  std::fprintf(stderr, "HalvaroCtl: %s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace halvaro::ctl
