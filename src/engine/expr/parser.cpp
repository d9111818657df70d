// The recursive-descent parser of the expression language; names bind while parsing, so the tree
// it gives back looks nothing up when evaluated.

#include "engine/expr/parser.h"

#include <algorithm>
#include <cctype>

#include "engine/expr/functions.h"

namespace tav::engine::expr {
namespace {

std::string lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

bool isRelation(Tok k) {
  return k == Tok::Eq || k == Tok::EqEq || k == Tok::Ne || k == Tok::Lt || k == Tok::Le ||
         k == Tok::Gt || k == Tok::Ge || k == Tok::Dollar;
}

}  // namespace

Parser::Parser(std::string_view text, ExprContext& ctx, const CompileOptions& options)
    : text_(text), ctx_(ctx), options_(options), lex_(text) {
  if (text.size() > kMaxText)
    compileFault(rt::kErrSyntax,
                 "Syntax error: expression longer than " + std::to_string(kMaxText) + " bytes", "",
                 text.substr(0, 60));
  advance();
}

Parser::Nesting::Nesting(Parser& parser) : p(parser) {
  if (++p.nesting_ > kMaxNesting)
    compileFault(rt::kErrSyntax, "Syntax error: expression nested too deeply", "",
                 p.text_.substr(0, 60));
}

bool Parser::accept(Tok k) {
  if (tok_.kind != k) return false;
  advance();
  return true;
}

void Parser::expect(Tok k, const char* what) {
  if (!accept(k)) unexpected(what);
}

void Parser::unexpected(const char* wanted) {
  compileFault(rt::kErrSyntax,
               std::string("Syntax error: ") + wanted + " expected, found " + describe(tok_),
               std::string(tok_.text), text_);
}

std::string Parser::expectIdent(const char* what) {
  if (tok_.kind != Tok::Ident) unexpected(what);
  std::string id(tok_.text);
  advance();
  return id;
}

NodePtr Parser::parseExpression() {
  if (tok_.kind == Tok::End) unexpected("an expression");
  NodePtr n = list(Tok::End);
  if (tok_.kind != Tok::End) unexpected("an operator");
  return n;
}

std::shared_ptr<CompiledBlock> Parser::parseBlock() {
  if (tok_.kind != Tok::LBrace) unexpected("'{|'");
  advance();
  if (tok_.kind != Tok::Pipe) unexpected("'|'");
  auto block = blockAfterBrace();
  if (tok_.kind != Tok::End) unexpected("end of the block text");
  return block;
}

NodePtr Parser::list(Tok close) {
  std::vector<NodePtr> items;
  items.push_back(assignment());
  while (accept(Tok::Comma)) items.push_back(assignment());
  if (tok_.kind != close && close != Tok::End) unexpected(close == Tok::RParen ? "')'" : "'}'");
  return makeList(std::move(items));
}

NodePtr Parser::assignment() {
  Nesting guard(*this);
  size_t at = tok_.pos;
  NodePtr target = disjunction();
  if (tok_.kind != Tok::Assign) return target;
  if (!target->assignable())
    compileFault(rt::kErrSyntax,
                 "Syntax error: only a field, a parameter or an array element can be assigned",
                 std::string(text_.substr(at, tok_.pos - at)), text_);
  advance();
  NodePtr value = assignment();
  return makeAssign(std::move(target), std::move(value));
}

NodePtr Parser::disjunction() {
  NodePtr n = conjunction();
  while (accept(Tok::Or)) n = makeBinary(Tok::Or, std::move(n), conjunction());
  return n;
}

NodePtr Parser::conjunction() {
  NodePtr n = negation();
  while (accept(Tok::And)) n = makeBinary(Tok::And, std::move(n), negation());
  return n;
}

NodePtr Parser::negation() {
  // .not. binds looser than comparisons: ".not. a = b" negates the comparison.
  if (accept(Tok::Not)) {
    Nesting guard(*this);
    return makeNot(negation());
  }
  return relation();
}

NodePtr Parser::relation() {
  NodePtr n = sum();
  while (isRelation(tok_.kind)) {
    Tok op = tok_.kind;
    advance();
    n = makeBinary(op, std::move(n), sum());
  }
  return n;
}

NodePtr Parser::sum() {
  NodePtr n = product();
  while (tok_.kind == Tok::Plus || tok_.kind == Tok::Minus) {
    Tok op = tok_.kind;
    advance();
    n = makeBinary(op, std::move(n), product());
  }
  return n;
}

NodePtr Parser::product() {
  NodePtr n = power();
  while (tok_.kind == Tok::Star || tok_.kind == Tok::Slash || tok_.kind == Tok::Percent) {
    Tok op = tok_.kind;
    advance();
    n = makeBinary(op, std::move(n), power());
  }
  return n;
}

NodePtr Parser::power() {
  NodePtr n = unary();
  while (accept(Tok::Power)) n = makeBinary(Tok::Power, std::move(n), unary());
  return n;
}

NodePtr Parser::unary() {
  Nesting guard(*this);
  if (accept(Tok::Minus)) {
    NodePtr x = unary();
    // A negative literal stays a constant, so that shapes can use it.
    if (const rt::Value* c = x->constant(); c && c->isNumber()) {
      rt::Number n = c->numInfo();
      n.value = -n.value;
      return makeLiteral(rt::Value(n));
    }
    return makeNegate(std::move(x));
  }
  if (accept(Tok::Plus)) return unary();
  if (accept(Tok::Not)) return makeNot(unary());
  return postfix();
}

NodePtr Parser::postfix() {
  NodePtr n = primary();
  while (accept(Tok::LBracket)) {
    // x[i, j] is x[i][j].
    n = makeSubscript(std::move(n), assignment());
    while (accept(Tok::Comma)) n = makeSubscript(std::move(n), assignment());
    expect(Tok::RBracket, "']'");
  }
  return n;
}

NodePtr Parser::primary() {
  Token t = tok_;
  switch (t.kind) {
    case Tok::Number:
      advance();
      return makeLiteral(rt::Value::number(t.number, -1, t.decimals));
    case Tok::String:
      advance();
      return makeLiteral(rt::Value(std::string(t.text)));
    case Tok::Date:
      advance();
      return makeLiteral(rt::Value(t.date));
    case Tok::True:
    case Tok::False:
      advance();
      return makeLiteral(rt::Value(t.kind == Tok::True));
    case Tok::Nil:
      advance();
      return makeLiteral(rt::Value());
    case Tok::LParen: {
      advance();
      NodePtr n = list(Tok::RParen);
      expect(Tok::RParen, "')'");
      return n;
    }
    case Tok::LBrace: {
      advance();
      if (tok_.kind == Tok::Pipe) return makeBlock(blockAfterBrace());
      std::vector<NodePtr> items;
      if (!accept(Tok::RBrace)) {
        items.push_back(assignment());
        while (accept(Tok::Comma)) items.push_back(assignment());
        expect(Tok::RBrace, "'}'");
      }
      return makeArray(std::move(items));
    }
    case Tok::Ident: {
      advance();
      return name(std::string(t.text));
    }
    default:
      unexpected("an operand");
  }
}

std::shared_ptr<CompiledBlock> Parser::blockAfterBrace() {
  expect(Tok::Pipe, "'|'");
  std::vector<std::string> params;
  if (tok_.kind != Tok::Pipe) {
    do {
      std::string p = lowered(expectIdent("a parameter name"));
      if (std::find(params.begin(), params.end(), p) != params.end())
        compileFault(rt::kErrSyntax, "Syntax error: parameter named twice", p, text_);
      params.push_back(std::move(p));
    } while (accept(Tok::Comma));
  }
  expect(Tok::Pipe, "'|'");
  size_t count = params.size();
  scopes_.push_back(std::move(params));
  NodePtr body = tok_.kind == Tok::RBrace ? makeLiteral(rt::Value()) : list(Tok::RBrace);
  expect(Tok::RBrace, "'}'");
  scopes_.pop_back();
  return std::make_shared<CompiledBlock>(std::move(body), count);
}

NodePtr Parser::name(std::string id) {
  if (tok_.kind == Tok::LParen) return call(std::move(id));
  std::string low = lowered(id);
  if (accept(Tok::Arrow)) {
    if (low == "field" || low == "_field") {
      std::string first = expectIdent("a field name");
      if (!accept(Tok::Arrow)) return field("", first, false);
      return field(first, expectIdent("a field name"), false);
    }
    if (low == "m" || low == "memvar")
      compileFault(rt::kErrNoVar, "Variable does not exist: expressions see no memory variables",
                   id + "->" + std::string(tok_.text), text_);
    if (tok_.kind == Tok::LParen)
      compileFault(rt::kErrSyntax, "Syntax error: alias->(expression) is not supported", id + "->(",
                   text_);
    return field(id, expectIdent("a field name"), false);
  }
  if (!scopes_.empty()) {
    const auto& inner = scopes_.back();
    auto it = std::find(inner.begin(), inner.end(), low);
    if (it != inner.end()) return makeParam(static_cast<size_t>(it - inner.begin()));
    for (size_t s = 0; s + 1 < scopes_.size(); ++s)
      if (std::find(scopes_[s].begin(), scopes_[s].end(), low) != scopes_[s].end())
        compileFault(rt::kErrNoVar,
                     "Variable does not exist: a nested block cannot see the parameters of its "
                     "enclosing block",
                     id, text_);
  }
  return field("", id, true);
}

NodePtr Parser::field(const std::string& alias, const std::string& id, bool plain) {
  if (auto f = ctx_.bindField(alias, id)) return makeField(std::move(f));
  if (!alias.empty() && !ctx_.bindArea(alias))
    compileFault(rt::kErrNoAlias, "Alias does not exist", alias, text_);
  if (alias.empty() && !plain && !ctx_.bindArea(""))
    compileFault(rt::kErrNoTable, "Work area not in use", id, text_);
  compileFault(rt::kErrNoVar, plain ? "Variable does not exist" : "Field does not exist",
               alias.empty() ? id : alias + "->" + id, text_);
}

NodePtr Parser::call(std::string id) {
  const Builtin* fn = findFunction(id);
  if (!fn) compileFault(kErrNoFunction, "Undefined function", id, text_);
  expect(Tok::LParen, "'('");
  std::vector<NodePtr> args;
  if (tok_.kind != Tok::RParen) {
    do {
      // An omitted argument, as in str(n,,2), is NIL.
      if (tok_.kind == Tok::Comma || tok_.kind == Tok::RParen)
        args.push_back(makeLiteral(rt::Value()));
      else
        args.push_back(assignment());
    } while (accept(Tok::Comma));
  }
  expect(Tok::RParen, "')'");
  return makeCall(*fn, std::move(args), ctx_, text_, options_);
}

}  // namespace tav::engine::expr
