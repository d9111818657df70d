#pragma once

// The public face of the expression language: compile once, evaluate per record. Every fault goes
// through the runtime's error handler, never out as a C++ exception of its own.

#include <memory>
#include <string>
#include <string_view>

#include "engine/expr/context.h"
#include "runtime/value.h"

namespace tav::engine {

namespace expr {
class Node;
}

// A compiled expression of the table engine's language (key expressions, relations, conditions).
// Names are bound when it is compiled, so evaluating it per record looks nothing up. Every fault
// goes through the runtime's error handler: compile faults (syntax, unknown name, alias or
// function) abandon through it, evaluation faults (type mismatch, zero divisor, bad subscript)
// let the handler substitute the operation's result. The whole language: docs/expressions.md.
class Expression {
 public:
  static std::unique_ptr<Expression> compile(std::string_view text, ExprContext& ctx,
                                             const CompileOptions& options = {});
  ~Expression();
  Expression(const Expression&) = delete;
  Expression& operator=(const Expression&) = delete;

  rt::Value eval();
  // Replaces `out` with a text result, reusing its buffer: the index build calls this for every
  // record. A result that is not text is a data type error.
  void evalKey(std::string& out);

  const std::string& text() const { return text_; }

  // What the expression gives, known without evaluating it (an index needs a key's type and
  // length before the first record is read). Type letter as ValType() gives it, 'U' when it
  // depends on block arguments. Width: a text's length (its greatest, for trimmed texts), 8 for
  // dates, 1 for logicals, a number's display width; -1 when unknown.
  char resultType() const;
  int resultWidth() const;
  int resultDecimals() const;

 private:
  Expression(std::string text, std::unique_ptr<expr::Node> root);
  std::string text_;
  std::unique_ptr<expr::Node> root_;
};

// Compiles a code block text such as "{|x| x[1] == 'A'}" or "{|| FIELD->entex->ok := .t. }".
// Anything other than one block literal is a syntax error.
rt::BlockRef compileBlock(std::string_view text, ExprContext& ctx);

}  // namespace tav::engine
