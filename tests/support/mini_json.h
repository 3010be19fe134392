// A small JSON reader for test manifests (objects, arrays, strings, numbers,
// booleans, null). Test-only: it trusts its input to be well formed.
#pragma once

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kestrova::test {

struct Json {
  enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
  bool b = false;
  double n = 0;
  std::string s;
  std::vector<Json> a;
  std::map<std::string, Json> o;

  const Json& operator[](const std::string& key) const {
    static const Json none;
    auto it = o.find(key);
    return it == o.end() ? none : it->second;
  }
  bool Has(const std::string& key) const { return o.count(key) != 0; }

  static Json Parse(const std::string& text) {
    std::size_t i = 0;
    return Value(text, i);
  }

 private:
  static void Ws(const std::string& t, std::size_t& i) {
    while (i < t.size() && (t[i] == ' ' || t[i] == '\n' || t[i] == '\r' || t[i] == '\t')) ++i;
  }
  static std::string Str(const std::string& t, std::size_t& i) {
    std::string out;
    ++i;  // opening quote
    while (i < t.size() && t[i] != '"') {
      if (t[i] == '\\' && i + 1 < t.size()) {
        const char e = t[++i];
        if (e == 'u' && i + 4 < t.size()) {
          const unsigned cp = static_cast<unsigned>(std::strtoul(t.substr(i + 1, 4).c_str(), nullptr, 16));
          i += 4;
          if (cp < 0x80) out += static_cast<char>(cp);
          else if (cp < 0x800) out += static_cast<char>(0xC0 | (cp >> 6)), out += static_cast<char>(0x80 | (cp & 0x3F));
          else out += static_cast<char>(0xE0 | (cp >> 12)), out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
               out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
          out += e == 'n' ? '\n' : e == 't' ? '\t' : e;
        }
        ++i;
      } else {
        out += t[i++];
      }
    }
    ++i;  // closing quote
    return out;
  }
  static Json Value(const std::string& t, std::size_t& i) {
    Ws(t, i);
    Json v;
    if (i >= t.size()) return v;
    const char c = t[i];
    if (c == '{') {
      v.kind = Object;
      ++i;
      for (Ws(t, i); i < t.size() && t[i] != '}';) {
        std::string key = Str(t, i);
        Ws(t, i);
        ++i;  // ':'
        v.o[key] = Value(t, i);
        Ws(t, i);
        if (t[i] == ',') ++i, Ws(t, i);
      }
      ++i;
    } else if (c == '[') {
      v.kind = Array;
      ++i;
      for (Ws(t, i); i < t.size() && t[i] != ']';) {
        v.a.push_back(Value(t, i));
        Ws(t, i);
        if (t[i] == ',') ++i, Ws(t, i);
      }
      ++i;
    } else if (c == '"') {
      v.kind = String;
      v.s = Str(t, i);
    } else if (t.compare(i, 4, "true") == 0) {
      v.kind = Bool, v.b = true, i += 4;
    } else if (t.compare(i, 5, "false") == 0) {
      v.kind = Bool, i += 5;
    } else if (t.compare(i, 4, "null") == 0) {
      i += 4;
    } else {
      v.kind = Number;
      char* end = nullptr;
      v.n = std::strtod(t.c_str() + i, &end);
      i = static_cast<std::size_t>(end - t.c_str());
    }
    return v;
  }
};

}  // namespace kestrova::test
