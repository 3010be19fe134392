#include "cli/json_writer.h"

#include <cstdio>

namespace kestrova::cli {

std::string JsonString(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

void JsonWriter::Separate() {
  if (needComma_) out_ += ',';
  needComma_ = true;
}

JsonWriter& JsonWriter::BeginObject() {
  Separate();
  out_ += '{';
  needComma_ = false;
  return *this;
}
JsonWriter& JsonWriter::EndObject() {
  out_ += '}';
  needComma_ = true;
  return *this;
}
JsonWriter& JsonWriter::BeginArray() {
  Separate();
  out_ += '[';
  needComma_ = false;
  return *this;
}
JsonWriter& JsonWriter::EndArray() {
  out_ += ']';
  needComma_ = true;
  return *this;
}
JsonWriter& JsonWriter::Key(std::string_view key) {
  Separate();
  out_ += JsonString(key) + ':';
  needComma_ = false;
  return *this;
}
JsonWriter& JsonWriter::String(std::string_view s) {
  Separate();
  out_ += JsonString(s);
  return *this;
}
JsonWriter& JsonWriter::Number(std::uint64_t v) {
  Separate();
  out_ += std::to_string(v);
  return *this;
}
JsonWriter& JsonWriter::Signed(std::int64_t v) {
  Separate();
  out_ += std::to_string(v);
  return *this;
}
JsonWriter& JsonWriter::Double(double v) {
  Separate();
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.0f", v);
  out_ += buf;
  return *this;
}
JsonWriter& JsonWriter::Bool(bool v) {
  Separate();
  out_ += v ? "true" : "false";
  return *this;
}

}  // namespace kestrova::cli
