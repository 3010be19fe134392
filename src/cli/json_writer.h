// Minimal JSON output for the CLI's --json mode.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrova::cli {

std::string JsonString(std::string_view utf8);

// Builds one object or array by appending members; commas are handled here.
class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view utf8);
  JsonWriter& Number(std::uint64_t value);
  JsonWriter& Signed(std::int64_t value);
  JsonWriter& Double(double value);
  JsonWriter& Bool(bool value);
  const std::string& str() const { return out_; }

 private:
  void Separate();
  std::string out_;
  bool needComma_ = false;
};

}  // namespace kestrova::cli
