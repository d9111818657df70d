// Compiling and evaluating an Expression; the language itself lives in the parser and the nodes.

#include "engine/expr/expression.h"

#include <algorithm>

#include "engine/expr/parser.h"

namespace tav::engine {

Expression::Expression(std::string text, std::unique_ptr<expr::Node> root)
    : text_(std::move(text)), root_(std::move(root)) {}

Expression::~Expression() = default;

std::unique_ptr<Expression> Expression::compile(std::string_view text, ExprContext& ctx,
                                                const CompileOptions& options) {
  expr::Parser parser(text, ctx, options);
  expr::NodePtr root = parser.parseExpression();
  return std::unique_ptr<Expression>(new Expression(std::string(text), std::move(root)));
}

rt::Value Expression::eval() {
  expr::Frame frame;
  return root_->eval(frame);
}

void Expression::evalKey(std::string& out) {
  expr::Frame frame;
  out.clear();
  root_->appendText(out, frame);
}

char Expression::resultType() const { return root_->shape().type; }

int Expression::resultWidth() const {
  const expr::Shape& s = root_->shape();
  if (s.width >= 0) return s.width;
  // A computed number shows as the runtime's Str() would show it.
  if (s.type == 'N' && s.decimals >= 0) return 10 + (s.decimals > 0 ? s.decimals + 1 : 0);
  return -1;
}

int Expression::resultDecimals() const {
  const expr::Shape& s = root_->shape();
  return s.type == 'N' ? std::max(s.decimals, 0) : 0;
}

rt::BlockRef compileBlock(std::string_view text, ExprContext& ctx) {
  expr::Parser parser(text, ctx);
  return parser.parseBlock();
}

}  // namespace tav::engine
