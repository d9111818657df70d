// The tokenizer of the expression language, with the literal forms of numbers, dates and logicals.

#include "engine/expr/lexer.h"

#include <cctype>
#include <cmath>

#include "engine/expr/node.h"

namespace tav::engine::expr {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

std::string describe(const Token& t) {
  if (t.kind == Tok::End) return "end of expression";
  return "'" + std::string(t.text) + "' at " + std::to_string(t.pos + 1);
}

Token Lexer::make(Tok k, size_t start, size_t len) {
  Token t;
  t.kind = k;
  t.pos = start;
  t.text = s_.substr(start, len);
  p_ = start + len;
  return t;
}

Token Lexer::next() {
  while (p_ < s_.size() && (s_[p_] == ' ' || s_[p_] == '\t' || s_[p_] == '\r' || s_[p_] == '\n'))
    ++p_;
  Token t;
  if (p_ >= s_.size()) {
    t.pos = s_.size();
    return t;
  }
  size_t b = p_;
  char c = s_[b];
  char n = b + 1 < s_.size() ? s_[b + 1] : '\0';
  if (isAlpha(c)) {
    size_t e = b;
    while (e < s_.size() && (isAlpha(s_[e]) || isDigit(s_[e]))) ++e;
    t = make(Tok::Ident, b, e - b);
    if (equalsNoCase(t.text, "nil")) t.kind = Tok::Nil;
  } else if (isDigit(c) || (c == '.' && isDigit(n))) {
    t = number(b);
  } else if (c == '.') {
    t = dotted(b);
  } else if (c == '"' || c == '\'') {
    t = quoted(b, c);
  } else if (c == '[' && !afterOperand_) {
    t = quoted(b, ']');
  } else if (c == '{' && n == '^') {
    t = braceDate(b);
  } else {
    auto two = [&](char second) { return n == second; };
    switch (c) {
      case '(':
        t = make(Tok::LParen, b, 1);
        break;
      case ')':
        t = make(Tok::RParen, b, 1);
        break;
      case '[':
        t = make(Tok::LBracket, b, 1);
        break;
      case ']':
        t = make(Tok::RBracket, b, 1);
        break;
      case '{':
        t = make(Tok::LBrace, b, 1);
        break;
      case '}':
        t = make(Tok::RBrace, b, 1);
        break;
      case '|':
        t = make(Tok::Pipe, b, 1);
        break;
      case ',':
        t = make(Tok::Comma, b, 1);
        break;
      case '+':
        t = make(Tok::Plus, b, 1);
        break;
      case '-':
        t = two('>') ? make(Tok::Arrow, b, 2) : make(Tok::Minus, b, 1);
        break;
      case '*':
        t = two('*') ? make(Tok::Power, b, 2) : make(Tok::Star, b, 1);
        break;
      case '^':
        t = make(Tok::Power, b, 1);
        break;
      case '/':
        t = make(Tok::Slash, b, 1);
        break;
      case '%':
        t = make(Tok::Percent, b, 1);
        break;
      case '$':
        t = make(Tok::Dollar, b, 1);
        break;
      case '#':
        t = make(Tok::Ne, b, 1);
        break;
      case '=':
        t = two('=') ? make(Tok::EqEq, b, 2) : make(Tok::Eq, b, 1);
        break;
      case '!':
        t = two('=') ? make(Tok::Ne, b, 2) : make(Tok::Not, b, 1);
        break;
      case '<':
        t = two('=') ? make(Tok::Le, b, 2) : two('>') ? make(Tok::Ne, b, 2) : make(Tok::Lt, b, 1);
        break;
      case '>':
        t = two('=') ? make(Tok::Ge, b, 2) : make(Tok::Gt, b, 1);
        break;
      case ':':
        if (two('=')) {
          t = make(Tok::Assign, b, 2);
          break;
        }
        [[fallthrough]];
      default:
        compileFault(rt::kErrSyntax,
                     "Syntax error: unexpected character at " + std::to_string(b + 1),
                     std::string(1, c), s_);
    }
  }
  afterOperand_ = t.kind == Tok::Ident || t.kind == Tok::Number || t.kind == Tok::String ||
                  t.kind == Tok::Date || t.kind == Tok::True || t.kind == Tok::False ||
                  t.kind == Tok::Nil || t.kind == Tok::RParen || t.kind == Tok::RBracket;
  return t;
}

Token Lexer::dotted(size_t b) {
  size_t e = b + 1;
  while (e < s_.size() && isAlpha(s_[e])) ++e;
  if (e >= s_.size() || s_[e] != '.')
    compileFault(rt::kErrSyntax,
                 "Syntax error: unterminated dotted operator at " + std::to_string(b + 1),
                 std::string(s_.substr(b, e - b)), s_);
  std::string_view word = s_.substr(b + 1, e - b - 1);
  Token t = make(Tok::End, b, e + 1 - b);
  if (equalsNoCase(word, "t") || equalsNoCase(word, "y"))
    t.kind = Tok::True;
  else if (equalsNoCase(word, "f") || equalsNoCase(word, "n"))
    t.kind = Tok::False;
  else if (equalsNoCase(word, "and"))
    t.kind = Tok::And;
  else if (equalsNoCase(word, "or"))
    t.kind = Tok::Or;
  else if (equalsNoCase(word, "not"))
    t.kind = Tok::Not;
  else
    compileFault(rt::kErrSyntax, "Syntax error: unknown operator at " + std::to_string(b + 1),
                 std::string(t.text), s_);
  return t;
}

Token Lexer::number(size_t b) {
  // 0dYYYYMMDD is a date written as a number.
  if (s_[b] == '0' && b + 1 < s_.size() && (s_[b + 1] == 'd' || s_[b + 1] == 'D')) {
    size_t e = b + 2;
    while (e < s_.size() && isDigit(s_[e])) ++e;
    Token t = make(Tok::Date, b, e - b);
    std::string_view digits = s_.substr(b + 2, e - b - 2);
    if (digits == "00000000") return t;
    t.date = rt::Date::fromDtos(digits);
    if (digits.size() != 8 || t.date.empty())
      compileFault(rt::kErrSyntax, "Syntax error: invalid date literal", std::string(t.text), s_);
    return t;
  }
  size_t e = b;
  double v = 0;
  while (e < s_.size() && isDigit(s_[e])) v = v * 10 + (s_[e++] - '0');
  int dec = 0;
  if (e + 1 < s_.size() && s_[e] == '.' && isDigit(s_[e + 1])) {
    ++e;
    while (e < s_.size() && isDigit(s_[e])) {
      v = v * 10 + (s_[e++] - '0');
      ++dec;
    }
  }
  if (e < s_.size() && isAlpha(s_[e]))
    compileFault(rt::kErrSyntax, "Syntax error: malformed number at " + std::to_string(b + 1),
                 std::string(s_.substr(b, e + 1 - b)), s_);
  Token t = make(Tok::Number, b, e - b);
  t.number = v / std::pow(10.0, dec);
  t.decimals = dec;
  return t;
}

Token Lexer::quoted(size_t b, char close) {
  size_t e = s_.find(close, b + 1);
  if (e == std::string_view::npos)
    compileFault(rt::kErrSyntax, "Syntax error: unterminated string at " + std::to_string(b + 1),
                 std::string(s_.substr(b)), s_);
  Token t = make(Tok::String, b, e + 1 - b);
  t.text = s_.substr(b + 1, e - b - 1);
  return t;
}

Token Lexer::braceDate(size_t b) {
  // {^yyyy-mm-dd} or {^yyyy/mm/dd}; {^} is the empty date.
  size_t e = s_.find('}', b);
  if (e == std::string_view::npos)
    compileFault(rt::kErrSyntax, "Syntax error: unterminated date literal",
                 std::string(s_.substr(b)), s_);
  Token t = make(Tok::Date, b, e + 1 - b);
  std::string_view body = s_.substr(b + 2, e - b - 2);
  while (!body.empty() && body.front() == ' ') body.remove_prefix(1);
  while (!body.empty() && body.back() == ' ') body.remove_suffix(1);
  if (body.empty()) return t;
  std::string digits;
  int parts = 1;
  for (char c : body) {
    if (isDigit(c))
      digits += c;
    else if (c == '-' || c == '/' || c == '.')
      ++parts;
    else
      parts = 99;
  }
  t.date = rt::Date::fromDtos(digits);
  if (parts != 3 || digits.size() != 8 || t.date.empty())
    compileFault(rt::kErrSyntax, "Syntax error: invalid date literal", std::string(t.text), s_);
  return t;
}

}  // namespace tav::engine::expr
