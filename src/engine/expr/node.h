#pragma once

// The node tree a compiled expression is made of, with what each node is known to give before it
// is evaluated (its shape), which lets text results be appended straight into key buffers.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/error.h"
#include "runtime/value.h"

namespace tav::engine::expr {

// The locals of one block call: its parameters, missing arguments NIL. Plain expressions have
// none.
struct Frame {
  std::vector<rt::Value> locals;
};

// What a node gives, as far as it is known before evaluation. type 'U' means only evaluation
// tells; width/decimals -1 mean unknown.
struct Shape {
  char type = 'U';
  int width = -1;
  int decimals = -1;
  bool text() const { return type == 'C' || type == 'M'; }
};

class Node {
 public:
  explicit Node(Shape s = {}) : shape_(s) {}
  virtual ~Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  virtual rt::Value eval(Frame& f) = 0;
  // Appends a text result to out. Nodes that build text override it so that a key is assembled
  // in one buffer; the default evaluates and raises a data type error for a non-text.
  virtual void appendText(std::string& out, Frame& f);

  // Assignment targets (fields, parameters, array elements) override these.
  virtual bool assignable() const { return false; }
  virtual void assign(Frame&, const rt::Value&) {}
  // The value of a literal, so that compile-time shapes can use constant arguments.
  virtual const rt::Value* constant() const { return nullptr; }

  const Shape& shape() const { return shape_; }

 protected:
  Shape shape_;
};
using NodePtr = std::unique_ptr<Node>;

// Base for nodes whose result is always text: evaluation goes through appendText.
class TextNode : public Node {
 public:
  using Node::Node;
  rt::Value eval(Frame& f) override {
    std::string s;
    appendText(s, f);
    return rt::Value(std::move(s));
  }
};

// Generic code for an unknown function (the runtime's table of codes has no entry for it).
constexpr int kErrNoFunction = 12;
// The longest text a function builds (SPACE, REPLICATE, PADx): far beyond any field, key or memo
// the tool writes, and small enough that a mistaken count is an argument error rather than an
// allocation of all memory.
constexpr long kMaxTextLength = 16L << 20;

// Compile faults cannot be answered: the handler sees them and the compile is abandoned.
[[noreturn]] void compileFault(int genCode, std::string description, std::string operation,
                               std::string_view text);
// An operator or function met operands it cannot work on. The handler may substitute the
// operation's result; any other answer abandons.
rt::Value argumentFault(int subCode, std::string_view operation, std::vector<rt::Value> args);
// A fault of another kind with the same answering rules (bound, zero divisor, data type).
rt::Value runtimeFault(int genCode, int subCode, std::string description,
                       std::string_view operation, std::vector<rt::Value> args,
                       bool canDefault = false, rt::Value defaultValue = {});
// Appends a substituted value that must be text; anything else is a fault that cannot be answered.
void appendSubstitute(std::string& out, const rt::Value& v, std::string_view operation);

}  // namespace tav::engine::expr
