// HalvaroCtl's output: one JSON object per line for --json, plain lines otherwise, both
// flushed as written so that a script reading a pipe sees each line at once. JSON is built
// from ASCII keys and values; any text value is escaped.
//
// Threading: the builders touch only themselves. PrintLine and PrintError are called from
// the main thread only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halvaro::ctl {

// `text` as the inside of a JSON string: quote, backslash and control characters escaped;
// bytes outside ASCII become \u00XX of their own value.
std::string JsonEscape(std::string_view text);

// A flat or nested JSON object, its members in the order they are added.
class JsonObject {
 public:
  JsonObject& Text(const char* key, std::string_view value);
  JsonObject& Number(const char* key, uint64_t value);
  JsonObject& Bool(const char* key, bool value);
  JsonObject& Null(const char* key);
  JsonObject& Object(const char* key, const JsonObject& value);
  // Appends the members of `other` to this object's.
  JsonObject& Members(const JsonObject& other);
  std::string str() const { return "{" + body_ + "}"; }

 private:
  JsonObject& Raw(const char* key, const std::string& value);
  std::string body_;
};

std::string Hex32(uint32_t value);  // "0x8000000A"
std::string Hex8(uint32_t value);   // "0x81"
// Local time, to the millisecond: "2024-05-01T13:45:07.123".
std::string LocalTimestamp();
// A wide ASCII name (pipe names, value names) as text.
std::string Narrow(const wchar_t* text);

void PrintLine(const std::string& line);   // stdout
void PrintError(const std::string& line);  // stderr, led by "HalvaroCtl: "

}  // namespace halvaro::ctl
