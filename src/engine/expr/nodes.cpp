// The operators, literals, names and blocks of the expression language. The subcodes of their
// faults are the runtime's own numbers, which the error report shows.

#include "engine/expr/nodes.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "runtime/collation.h"
#include "runtime/settings.h"

namespace tav::engine::expr {
namespace {

// Subcodes the error report shows for each operator, as the runtime numbers them.
constexpr int kSubEq = 1071, kSubNe = 1072, kSubLt = 1073, kSubLe = 1074, kSubGt = 1075,
              kSubGe = 1076, kSubExactEq = 1070, kSubNot = 1077, kSubAnd = 1078, kSubOr = 1079,
              kSubNeg = 1080, kSubPlus = 1081, kSubMinus = 1082, kSubMul = 1083, kSubDiv = 1084,
              kSubMod = 1085, kSubPow = 1088, kSubContains = 1109, kSubSubscript = 1068,
              kSubBound = 1132, kSubZeroDiv = 1340, kSubZeroMod = 1341;

Shape shapeOf(const rt::Value& v) {
  switch (v.type()) {
    case rt::Type::Character:
    case rt::Type::Memo:
      return {'C', static_cast<int>(v.str().size()), -1};
    case rt::Type::Numeric:
      return {'N', v.numInfo().width, v.numInfo().decimals};
    case rt::Type::Date:
      return {'D', 8, -1};
    case rt::Type::Logical:
      return {'L', 1, -1};
    default:
      return {rt::typeLetter(v.type()), -1, -1};
  }
}

class Literal final : public Node {
 public:
  explicit Literal(rt::Value v) : Node(shapeOf(v)), v_(std::move(v)) {}
  rt::Value eval(Frame&) override { return v_; }
  void appendText(std::string& out, Frame& f) override {
    if (v_.isText())
      out += v_.str();
    else
      Node::appendText(out, f);
  }
  const rt::Value* constant() const override { return &v_; }

 private:
  rt::Value v_;
};

Shape fieldShape(const BoundField& f) {
  char t = f.type();
  if (t == 'F') return {'N', f.length(), f.decimals()};
  // Binary numbers other tools write: their length counts bytes, and how they show is the
  // table's business, so only evaluation tells.
  if (t == 'I' || t == 'B' || t == 'Y') return {'N', -1, -1};
  // A memo's length is that of its block pointer, not of its text.
  if (t == 'M') return {'M', -1, -1};
  if (t == 'C' || t == 'N' || t == 'D' || t == 'L') return {t, f.length(), f.decimals()};
  return {};
}

class Field final : public Node {
 public:
  explicit Field(std::shared_ptr<BoundField> f) : Node(fieldShape(*f)), f_(std::move(f)) {}
  rt::Value eval(Frame&) override { return f_->get(); }
  void appendText(std::string& out, Frame& f) override {
    if (shape_.text())
      f_->appendText(out);
    else
      Node::appendText(out, f);
  }
  bool assignable() const override { return true; }
  void assign(Frame&, const rt::Value& v) override { f_->put(v); }

 private:
  std::shared_ptr<BoundField> f_;
};

class Param final : public Node {
 public:
  explicit Param(size_t index) : index_(index) {}
  rt::Value eval(Frame& f) override { return f.locals[index_]; }
  bool assignable() const override { return true; }
  void assign(Frame& f, const rt::Value& v) override { f.locals[index_] = v; }

 private:
  size_t index_;
};

class Subscript final : public Node {
 public:
  Subscript(NodePtr base, NodePtr index) : base_(std::move(base)), index_(std::move(index)) {}
  rt::Value eval(Frame& f) override {
    rt::Value a = base_->eval(f);
    rt::Value i = index_->eval(f);
    rt::Value* slot = element(a, i);
    return slot ? *slot : fault_;
  }
  bool assignable() const override { return true; }
  void assign(Frame& f, const rt::Value& v) override {
    rt::Value a = base_->eval(f);
    rt::Value i = index_->eval(f);
    // Arrays are shared by reference: the caller's array sees the change.
    if (rt::Value* slot = element(a, i)) *slot = v;
  }

 private:
  // The element addressed, or nullptr with fault_ holding the handler's substitute.
  rt::Value* element(const rt::Value& a, const rt::Value& i) {
    if (!a.isArray() || !i.isNumber()) {
      fault_ = argumentFault(kSubSubscript, "array access", {a, i});
      return nullptr;
    }
    double n = std::trunc(i.num());
    if (n < 1 || n > static_cast<double>(a.arr().size())) {
      fault_ = runtimeFault(rt::kErrBound, kSubBound, "Bound error", "array access", {a, i});
      return nullptr;
    }
    return &a.arr()[static_cast<size_t>(n) - 1];
  }
  NodePtr base_, index_;
  rt::Value fault_;
};

class Assign final : public Node {
 public:
  Assign(NodePtr target, NodePtr value)
      : Node(value->shape()), target_(std::move(target)), value_(std::move(value)) {}
  rt::Value eval(Frame& f) override {
    rt::Value v = value_->eval(f);
    target_->assign(f, v);
    return v;
  }

 private:
  NodePtr target_, value_;
};

class List final : public Node {
 public:
  explicit List(std::vector<NodePtr> items)
      : Node(items.back()->shape()), items_(std::move(items)) {}
  rt::Value eval(Frame& f) override {
    for (size_t i = 0; i + 1 < items_.size(); ++i) items_[i]->eval(f);
    return items_.back()->eval(f);
  }

 private:
  std::vector<NodePtr> items_;
};

class ArrayLiteral final : public Node {
 public:
  explicit ArrayLiteral(std::vector<NodePtr> items)
      : Node({'A', -1, -1}), items_(std::move(items)) {}
  rt::Value eval(Frame& f) override {
    rt::Array a;
    a.reserve(items_.size());
    for (auto& n : items_) a.push_back(n->eval(f));
    return rt::Value(std::move(a));
  }

 private:
  std::vector<NodePtr> items_;
};

class BlockLiteral final : public Node {
 public:
  explicit BlockLiteral(std::shared_ptr<CompiledBlock> b) : Node({'B', -1, -1}), b_(std::move(b)) {}
  rt::Value eval(Frame&) override { return rt::Value(rt::BlockRef(b_)); }

 private:
  std::shared_ptr<CompiledBlock> b_;
};

class Negate final : public Node {
 public:
  explicit Negate(NodePtr x)
      : Node(x->shape().type == 'N' ? x->shape() : Shape{}), x_(std::move(x)) {}
  rt::Value eval(Frame& f) override {
    rt::Value v = x_->eval(f);
    if (!v.isNumber()) return argumentFault(kSubNeg, "-", {v});
    rt::Number n = v.numInfo();
    n.value = -n.value;
    return rt::Value(n);
  }

 private:
  NodePtr x_;
};

class Not final : public Node {
 public:
  explicit Not(NodePtr x) : Node({'L', 1, -1}), x_(std::move(x)) {}
  rt::Value eval(Frame& f) override {
    rt::Value v = x_->eval(f);
    if (!v.isLogical()) return argumentFault(kSubNot, ".NOT.", {v});
    return rt::Value(!v.log());
  }

 private:
  NodePtr x_;
};

// .and. / .or. look at the right operand only when the left does not decide.
class Logical final : public Node {
 public:
  Logical(bool isAnd, NodePtr a, NodePtr b)
      : Node({'L', 1, -1}), and_(isAnd), a_(std::move(a)), b_(std::move(b)) {}
  rt::Value eval(Frame& f) override {
    rt::Value a = a_->eval(f);
    if (!a.isLogical()) return fault(a, b_->eval(f));
    if (a.log() != and_) return rt::Value(a.log());
    rt::Value b = b_->eval(f);
    if (!b.isLogical()) return fault(a, b);
    return rt::Value(b.log());
  }

 private:
  rt::Value fault(const rt::Value& a, const rt::Value& b) {
    return argumentFault(and_ ? kSubAnd : kSubOr, and_ ? ".AND." : ".OR.", {a, b});
  }
  bool and_;
  NodePtr a_, b_;
};

int maxDecimals(int a, int b) { return a < 0 || b < 0 ? -1 : std::max(a, b); }

rt::Value numberResult(double v, int decimals) {
  return rt::Value(rt::Number{v, -1, static_cast<int16_t>(decimals)});
}

// A date moved by whole days; nullopt when the result leaves the calendar of years 1 to 9999
// (no field holds such a date, and the day count itself would overflow on the way there).
std::optional<rt::Date> dateResult(rt::Date d, double days) {
  if (d.empty()) return d;
  static const double first = rt::Date::fromYmd(1, 1, 1).julian();
  static const double last = rt::Date::fromYmd(9999, 12, 31).julian();
  const double j = d.julian() + std::trunc(days);
  if (!(j >= first && j <= last)) return std::nullopt;  // NaN days too
  return rt::Date::fromJulian(static_cast<int32_t>(j));
}

Shape arithmeticShape(Tok op, const Shape& a, const Shape& b) {
  bool bothText = a.text() && b.text();
  const long long sum = static_cast<long long>(a.width) + b.width;
  int width = a.width >= 0 && b.width >= 0 && sum <= kMaxTextLength ? static_cast<int>(sum) : -1;
  if ((op == Tok::Plus || op == Tok::Minus) && bothText) return {'C', width, -1};
  if (a.type == 'N' && b.type == 'N') {
    switch (op) {
      case Tok::Plus:
      case Tok::Minus:
      case Tok::Percent:
        return {'N', -1, maxDecimals(a.decimals, b.decimals)};
      case Tok::Star:
        return {'N', -1, a.decimals < 0 || b.decimals < 0 ? -1 : a.decimals + b.decimals};
      default:
        return {'N', -1, -1};
    }
  }
  if (op == Tok::Plus && ((a.type == 'D' && b.type == 'N') || (a.type == 'N' && b.type == 'D')))
    return {'D', 8, -1};
  if (op == Tok::Minus && a.type == 'D' && b.type == 'N') return {'D', 8, -1};
  if (op == Tok::Minus && a.type == 'D' && b.type == 'D') return {'N', -1, 0};
  return {};
}

class Arithmetic final : public Node {
 public:
  Arithmetic(Tok op, NodePtr a, NodePtr b)
      : Node(arithmeticShape(op, a->shape(), b->shape())),
        op_(op),
        a_(std::move(a)),
        b_(std::move(b)) {}

  rt::Value eval(Frame& f) override {
    if (op_ == Tok::Plus && shape_.text()) return concatenated(f);
    return apply(a_->eval(f), b_->eval(f));
  }

  void appendText(std::string& out, Frame& f) override {
    // Keys are mostly concatenations of character fields: both sides append to one buffer.
    if (op_ == Tok::Plus && shape_.text()) {
      a_->appendText(out, f);
      b_->appendText(out, f);
      return;
    }
    Node::appendText(out, f);
  }

 private:
  rt::Value concatenated(Frame& f) {
    std::string s;
    if (shape_.width > 0) s.reserve(static_cast<size_t>(shape_.width));
    appendText(s, f);
    return rt::Value(std::move(s));
  }

  rt::Value apply(const rt::Value& a, const rt::Value& b) {
    switch (op_) {
      case Tok::Plus:
        if (a.isText() && b.isText()) return rt::Value(a.str() + b.str());
        if (a.isNumber() && b.isNumber())
          return numberResult(a.num() + b.num(),
                              maxDecimals(a.numInfo().decimals, b.numInfo().decimals));
        if (a.isDate() && b.isNumber())
          if (auto d = dateResult(a.date(), b.num())) return rt::Value(*d);
        if (a.isNumber() && b.isDate())
          if (auto d = dateResult(b.date(), a.num())) return rt::Value(*d);
        return argumentFault(kSubPlus, "+", {a, b});
      case Tok::Minus:
        if (a.isText() && b.isText()) {
          // The left operand's trailing blanks move to the end of the result.
          const std::string& l = a.str();
          size_t end = l.find_last_not_of(' ');
          end = end == std::string::npos ? 0 : end + 1;
          std::string s = l.substr(0, end) + b.str();
          s.append(l.size() - end, ' ');
          return rt::Value(std::move(s));
        }
        if (a.isNumber() && b.isNumber())
          return numberResult(a.num() - b.num(),
                              maxDecimals(a.numInfo().decimals, b.numInfo().decimals));
        if (a.isDate() && b.isNumber())
          if (auto d = dateResult(a.date(), -b.num())) return rt::Value(*d);
        if (a.isDate() && b.isDate()) return numberResult(a.date() - b.date(), 0);
        return argumentFault(kSubMinus, "-", {a, b});
      case Tok::Star: {
        if (!a.isNumber() || !b.isNumber()) return argumentFault(kSubMul, "*", {a, b});
        int da = a.numInfo().decimals, db = b.numInfo().decimals;
        return numberResult(a.num() * b.num(), da < 0 || db < 0 ? -1 : da + db);
      }
      case Tok::Slash:
        if (!a.isNumber() || !b.isNumber()) return argumentFault(kSubDiv, "/", {a, b});
        if (b.num() == 0)
          return runtimeFault(rt::kErrZeroDiv, kSubZeroDiv, "Zero divisor", "/", {a, b}, true,
                              rt::Value(0));
        return numberResult(a.num() / b.num(), -1);
      case Tok::Percent:
        if (!a.isNumber() || !b.isNumber()) return argumentFault(kSubMod, "%", {a, b});
        if (b.num() == 0)
          return runtimeFault(rt::kErrZeroDiv, kSubZeroMod, "Zero divisor", "%", {a, b}, true,
                              rt::Value(0));
        return numberResult(std::fmod(a.num(), b.num()),
                            maxDecimals(a.numInfo().decimals, b.numInfo().decimals));
      default:
        if (!a.isNumber() || !b.isNumber()) return argumentFault(kSubPow, "**", {a, b});
        return numberResult(std::pow(a.num(), b.num()), -1);
    }
  }

  Tok op_;
  NodePtr a_, b_;
};

int relationSubCode(Tok op) {
  switch (op) {
    case Tok::Eq:
      return kSubEq;
    case Tok::EqEq:
      return kSubExactEq;
    case Tok::Ne:
      return kSubNe;
    case Tok::Lt:
      return kSubLt;
    case Tok::Le:
      return kSubLe;
    case Tok::Gt:
      return kSubGt;
    case Tok::Ge:
      return kSubGe;
    default:
      return kSubContains;
  }
}

const char* relationName(Tok op) {
  switch (op) {
    case Tok::Eq:
      return "=";
    case Tok::EqEq:
      return "==";
    case Tok::Ne:
      return "<>";
    case Tok::Lt:
      return "<";
    case Tok::Le:
      return "<=";
    case Tok::Gt:
      return ">";
    case Tok::Ge:
      return ">=";
    default:
      return "$";
  }
}

bool holds(Tok op, int c) {
  switch (op) {
    case Tok::Eq:
    case Tok::EqEq:
      return c == 0;
    case Tok::Ne:
      return c != 0;
    case Tok::Lt:
      return c < 0;
    case Tok::Le:
      return c <= 0;
    case Tok::Gt:
      return c > 0;
    default:
      return c >= 0;
  }
}

template <typename T>
int order(T a, T b) {
  return a < b ? -1 : b < a ? 1 : 0;
}

class Relation final : public Node {
 public:
  Relation(Tok op, NodePtr a, NodePtr b)
      : Node({'L', 1, -1}), op_(op), a_(std::move(a)), b_(std::move(b)) {}
  rt::Value eval(Frame& f) override {
    rt::Value a = a_->eval(f);
    rt::Value b = b_->eval(f);
    if (op_ == Tok::Dollar) {
      if (!a.isText() || !b.isText()) return fault(a, b);
      return rt::Value(!a.str().empty() && b.str().find(a.str()) != std::string::npos);
    }
    int c;
    if (a.isText() && b.isText()) {
      // "==" is byte for byte whatever SET EXACT says; the others follow it.
      c = op_ == Tok::EqEq ? (a.str() == b.str() ? 0 : 1) : compareText(a.str(), b.str());
    } else if (a.isNumber() && b.isNumber()) {
      c = order(a.num(), b.num());
    } else if (a.isDate() && b.isDate()) {
      c = order(a.date().julian(), b.date().julian());
    } else if (a.isLogical() && b.isLogical()) {
      c = order(a.log(), b.log());
    } else if ((a.isNil() || b.isNil()) && equality()) {
      c = a.isNil() && b.isNil() ? 0 : 1;
    } else if (a.isArray() && b.isArray() && op_ == Tok::EqEq) {
      c = a.arrRef() == b.arrRef() ? 0 : 1;
    } else {
      return fault(a, b);
    }
    return rt::Value(holds(op_, c));
  }

 private:
  bool equality() const { return op_ == Tok::Eq || op_ == Tok::EqEq || op_ == Tok::Ne; }
  rt::Value fault(const rt::Value& a, const rt::Value& b) {
    return argumentFault(relationSubCode(op_), relationName(op_), {a, b});
  }
  Tok op_;
  NodePtr a_, b_;
};

}  // namespace

rt::Value CompiledBlock::eval(std::span<const rt::Value> args) {
  Frame f;
  if (params_ > 0) {
    f.locals.assign(args.begin(),
                    args.begin() + static_cast<std::ptrdiff_t>(std::min(args.size(), params_)));
    f.locals.resize(params_);
  }
  return body_->eval(f);
}

int compareText(std::string_view a, std::string_view b) {
  if (rt::settings().exact) {
    while (!a.empty() && a.back() == ' ') a.remove_suffix(1);
    while (!b.empty() && b.back() == ' ') b.remove_suffix(1);
  } else if (b.size() < a.size()) {
    a = a.substr(0, b.size());
  }
  return rt::collate(a, b);
}

NodePtr makeLiteral(rt::Value v) { return std::make_unique<Literal>(std::move(v)); }
NodePtr makeField(std::shared_ptr<BoundField> field) {
  return std::make_unique<Field>(std::move(field));
}
NodePtr makeParam(size_t index) { return std::make_unique<Param>(index); }
NodePtr makeSubscript(NodePtr base, NodePtr index) {
  return std::make_unique<Subscript>(std::move(base), std::move(index));
}
NodePtr makeAssign(NodePtr target, NodePtr value) {
  return std::make_unique<Assign>(std::move(target), std::move(value));
}
NodePtr makeList(std::vector<NodePtr> items) {
  if (items.size() == 1) return std::move(items.front());
  return std::make_unique<List>(std::move(items));
}
NodePtr makeArray(std::vector<NodePtr> items) {
  return std::make_unique<ArrayLiteral>(std::move(items));
}
NodePtr makeBlock(std::shared_ptr<CompiledBlock> block) {
  return std::make_unique<BlockLiteral>(std::move(block));
}
NodePtr makeNegate(NodePtr operand) { return std::make_unique<Negate>(std::move(operand)); }
NodePtr makeNot(NodePtr operand) { return std::make_unique<Not>(std::move(operand)); }

NodePtr makeBinary(Tok op, NodePtr left, NodePtr right) {
  switch (op) {
    case Tok::And:
      return std::make_unique<Logical>(true, std::move(left), std::move(right));
    case Tok::Or:
      return std::make_unique<Logical>(false, std::move(left), std::move(right));
    case Tok::Plus:
    case Tok::Minus:
    case Tok::Star:
    case Tok::Slash:
    case Tok::Percent:
    case Tok::Power:
      return std::make_unique<Arithmetic>(op, std::move(left), std::move(right));
    default:
      return std::make_unique<Relation>(op, std::move(left), std::move(right));
  }
}

}  // namespace tav::engine::expr
