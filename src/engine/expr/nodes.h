#pragma once

// Constructors of the expression nodes the parser builds, and the compiled code block.

#include <memory>
#include <string>
#include <vector>

#include "engine/expr/context.h"
#include "engine/expr/lexer.h"
#include "engine/expr/node.h"

namespace tav::engine::expr {

// A compiled code block: its body and how many parameters it names. Owned by a BlockRef; block
// literals nested in an expression share it.
class CompiledBlock : public rt::Block {
 public:
  CompiledBlock(NodePtr body, size_t params) : body_(std::move(body)), params_(params) {}
  rt::Value eval(std::span<const rt::Value> args) override;
  const Node& body() const { return *body_; }

 private:
  NodePtr body_;
  size_t params_;
};

NodePtr makeLiteral(rt::Value v);
NodePtr makeField(std::shared_ptr<BoundField> field);
NodePtr makeParam(size_t index);  // the index-th parameter of the block being called
NodePtr makeSubscript(NodePtr base, NodePtr index);
NodePtr makeAssign(NodePtr target, NodePtr value);
NodePtr makeList(std::vector<NodePtr> items);  // evaluates all, gives the last
NodePtr makeArray(std::vector<NodePtr> items);
NodePtr makeBlock(std::shared_ptr<CompiledBlock> block);
NodePtr makeNegate(NodePtr operand);
NodePtr makeNot(NodePtr operand);
// Arithmetic (+ - * / % **), comparisons (= == != < <= > >= $) and .and. / .or.
NodePtr makeBinary(Tok op, NodePtr left, NodePtr right);

// The order of text under the runtime's settings: with SET EXACT off only as many bytes of a
// as b has are compared (so "=" accepts a prefix), with it on trailing blanks do not count.
// Bytes compare by the Polish collation.
int compareText(std::string_view a, std::string_view b);

}  // namespace tav::engine::expr
