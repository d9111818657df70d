#pragma once

// Tokens of the expression language. A token's text points into the expression, which must outlive
// the lexer.

#include <string>
#include <string_view>

#include "runtime/date.h"

namespace tav::engine::expr {

enum class Tok {
  End,
  Ident,
  Number,
  String,
  Date,
  True,
  False,
  Nil,
  LParen,
  RParen,
  LBracket,
  RBracket,
  LBrace,
  RBrace,
  Pipe,
  Comma,
  Arrow,
  Plus,
  Minus,
  Star,
  Slash,
  Percent,
  Power,
  Eq,
  EqEq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  Dollar,
  And,
  Or,
  Not,
  Assign,
};

struct Token {
  Tok kind = Tok::End;
  size_t pos = 0;         // byte offset in the text, for messages
  std::string_view text;  // the token's bytes as written (a string's contents without quotes)
  double number = 0;
  int decimals = 0;
  rt::Date date;
};

// Splits an expression text into tokens. Text is 852 bytes; only ASCII is significant outside
// string literals, whose bytes pass through untouched.
class Lexer {
 public:
  explicit Lexer(std::string_view text) : s_(text) {}
  // Faults (an unterminated string, a stray character) abandon through the error handler.
  Token next();

 private:
  // '[' opens a string unless it follows an operand, where it subscripts.
  bool afterOperand_ = false;
  std::string_view s_;
  size_t p_ = 0;
  Token make(Tok k, size_t start, size_t len);
  Token dotted(size_t start);
  Token number(size_t start);
  Token quoted(size_t start, char close);
  Token braceDate(size_t start);
};

std::string describe(const Token& t);

}  // namespace tav::engine::expr
