#pragma once

// The parser of the expression language, with its operator levels from loosest to tightest.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/context.h"
#include "engine/expr/lexer.h"
#include "engine/expr/nodes.h"

namespace tav::engine::expr {

// Recursive descent over the operator levels, loosest first:
//   :=   .or.   .and.   .not./!   = == != <> # < <= > >= $   + -   * / %   ** ^   unary - + !
//   postfix [ ]   primaries (literals, names, alias->field, calls, ( ), { } arrays and blocks)
// Names are bound while parsing: a block's parameters first, then fields of the current area.
class Parser {
 public:
  Parser(std::string_view text, ExprContext& ctx, const CompileOptions& options = {});
  NodePtr parseExpression();                    // the whole text: one expression or a list
  std::shared_ptr<CompiledBlock> parseBlock();  // the whole text: exactly one block literal

 private:
  void advance() { tok_ = lex_.next(); }
  bool accept(Tok k);
  void expect(Tok k, const char* what);
  [[noreturn]] void unexpected(const char* wanted);
  std::string expectIdent(const char* what);

  NodePtr list(Tok close);
  NodePtr assignment();
  NodePtr disjunction();
  NodePtr conjunction();
  NodePtr negation();
  NodePtr relation();
  NodePtr sum();
  NodePtr product();
  NodePtr power();
  NodePtr unary();
  NodePtr postfix();
  NodePtr primary();
  NodePtr name(std::string id);
  NodePtr call(std::string id);
  NodePtr field(const std::string& alias, const std::string& id, bool plain);
  std::shared_ptr<CompiledBlock> blockAfterBrace();

  // Texts also come from index files on disk: a damaged one must fail cleanly, never exhaust
  // the stack in the parser or later in the evaluation of a very deep tree.
  static constexpr size_t kMaxText = 8192;
  static constexpr int kMaxNesting = 200;
  struct Nesting {
    explicit Nesting(Parser& p);
    ~Nesting() { --p.nesting_; }
    Parser& p;
  };

  std::string_view text_;
  ExprContext& ctx_;
  CompileOptions options_;
  int nesting_ = 0;
  Lexer lex_;
  Token tok_;
  std::vector<std::vector<std::string>> scopes_;  // parameter names, innermost block last
};

}  // namespace tav::engine::expr
