// The small JSON reader and string writer behind dbftool's record lines. Anything beyond a flat
// object is refused with a plain reason rather than half-read.

#include "json.h"

#include <cstdio>
#include <cstdlib>

namespace tav::dbftool {
namespace {

class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}
  JsonObject object() {
    JsonObject out;
    skip();
    expect('{');
    skip();
    if (peek() == '}') {
      ++i_;
      return finish(out);
    }
    for (;;) {
      skip();
      std::string key = string();
      skip();
      expect(':');
      skip();
      out.emplace_back(std::move(key), value());
      skip();
      if (peek() == ',') {
        ++i_;
        continue;
      }
      expect('}');
      return finish(out);
    }
  }

 private:
  JsonObject& finish(JsonObject& o) {
    skip();
    if (i_ != s_.size()) fail("text after the object");
    return o;
  }
  [[noreturn]] void fail(const std::string& why) {
    throw std::runtime_error(why + " at column " + std::to_string(i_ + 1));
  }
  char peek() const { return i_ < s_.size() ? s_[i_] : '\0'; }
  void skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r' || s_[i_] == '\n'))
      ++i_;
  }
  void expect(char c) {
    if (peek() != c) fail(std::string("expected '") + c + "'");
    ++i_;
  }
  void utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  unsigned hex4() {
    if (i_ + 4 > s_.size()) fail("short \\u escape");
    unsigned v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = s_[i_++];
      v <<= 4;
      if (c >= '0' && c <= '9')
        v |= unsigned(c - '0');
      else if (c >= 'a' && c <= 'f')
        v |= unsigned(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        v |= unsigned(c - 'A' + 10);
      else
        fail("bad \\u escape");
    }
    return v;
  }
  std::string string() {
    expect('"');
    std::string out;
    for (;;) {
      if (i_ >= s_.size()) fail("unterminated string");
      char c = s_[i_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i_ >= s_.size()) fail("unterminated escape");
      char e = s_[i_++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp = hex4();
          if (cp >= 0xD800 && cp < 0xDC00) {
            if (peek() != '\\') fail("lone surrogate");
            i_ += 2;
            unsigned lo = hex4();
            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
          } else {
            utf8(out, cp);
          }
          break;
        }
        default:
          fail("bad escape");
      }
    }
  }
  JsonValue value() {
    JsonValue v;
    char c = peek();
    if (c == '"') {
      v.kind = JsonValue::String;
      v.text = string();
    } else if (s_.substr(i_, 4) == "true") {
      v.kind = JsonValue::Bool;
      v.boolean = true;
      i_ += 4;
    } else if (s_.substr(i_, 5) == "false") {
      v.kind = JsonValue::Bool;
      i_ += 5;
    } else if (s_.substr(i_, 4) == "null") {
      i_ += 4;
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      size_t b = i_;
      if (peek() == '-') ++i_;
      while (i_ < s_.size() && ((s_[i_] >= '0' && s_[i_] <= '9') || s_[i_] == '.' ||
                                s_[i_] == 'e' || s_[i_] == 'E' || s_[i_] == '+' || s_[i_] == '-'))
        ++i_;
      v.kind = JsonValue::Number;
      v.text = std::string(s_.substr(b, i_ - b));
      char* end = nullptr;
      v.number = std::strtod(v.text.c_str(), &end);
      if (!end || *end) fail("bad number " + v.text);
    } else {
      fail("expected a value");
    }
    return v;
  }
  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace

JsonObject parseObject(std::string_view line) { return Parser(line).object(); }

void appendString(std::string& out, std::string_view s) {
  out += '"';
  for (char c : s) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"')
      out += "\\\"";
    else if (c == '\\')
      out += "\\\\";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\t')
      out += "\\t";
    else if (u < 0x20 || u == 0x7F) {
      char b[8];
      std::snprintf(b, sizeof b, "\\u%04x", u);
      out += b;
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace tav::dbftool
