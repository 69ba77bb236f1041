// The Pratt parser: binding powers, the prefix (nud) and infix (led) handling of every symbol, the nesting
// guard, and the placing of doc-comment annotations on the expressions they precede.
#include "syntax/parser.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <utility>

#include "support/stack.hpp"
#include "syntax/signature.hpp"
#include "value/json.hpp"
#include "value/limits.hpp"

namespace zarnu_core::parser {

Raw::~Raw() {
  // A deep tree is released one level per node; when the stack runs short the rest of the subtree moves
  // onto a fresh segment and is released there.
  if (!children.empty() && stack::remaining() < stack::kRedZone) [[unlikely]]
    stack::grow([this] { Raw rest(std::move(*this)); });
}

using json::Json;

namespace {

// Binding powers of the one-character operators.
constexpr std::array<std::uint8_t, 256> kPower = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned char c : std::string_view("([@#")) table[c] = 80;
  table['.'] = 75;
  table['{'] = 70;
  for (unsigned char c : std::string_view("*/%")) table[c] = 60;
  for (unsigned char c : std::string_view("+-&")) table[c] = 50;
  for (unsigned char c : std::string_view("=<>^")) table[c] = 40;
  table['?'] = 20;
  return table;
}();

// Annotations cover an operand with its following infix operators down to this power, so that they stop
// short of "and", "or", "?" and ":=".
constexpr std::uint8_t kAnnotatedPower = 30;

Raw leaf(RawKind kind, const Sym& t) {
  Raw raw;
  raw.kind = kind;
  raw.span = t.span;
  raw.position = t.span.end;
  return raw;
}

// Symbols that close or separate the parts of a construct: they cannot start an operand, and a
// recovering parse leaves them for the construct that waits for them.
bool closes(const Sym& sym) noexcept {
  if (sym.kind != SymKind::Operator) return false;
  for (std::string_view op : {")", "]", "}", ",", ";", ":", ".."})
    if (sym.op == op) return true;
  return false;
}

Raw node(RawKind kind, std::size_t position) {
  Raw raw;
  raw.kind = kind;
  raw.position = position;
  return raw;
}

Json literal_json(std::uint8_t literal) {
  if (literal == 2) return Json(nullptr);
  return Json(literal == 1);
}

}  // namespace

std::uint8_t lbp(const Sym& sym) noexcept {
  if (sym.kind != SymKind::Operator) return 0;
  const std::string_view op = sym.op;
  if (op.size() == 1) return kPower[static_cast<unsigned char>(op[0])];
  switch (op[0]) {
    case '(':  // (error)
      return 10;
    case '!':  // !=
    case '<':  // <=
    case '>':  // >=
    case '~':  // ~>
    case '?':  // ?: ??
    case 'i':  // in
      return 40;
    case 'a':  // and
      return 30;
    case 'o':  // or
      return 25;
    case ':':  // :=
      return 10;
    default:  // .. and **
      return 0;
  }
}

Json sym_value(const Sym& sym) {
  switch (sym.kind) {
    case SymKind::Name:
    case SymKind::Variable:
    case SymKind::String:
    case SymKind::Regex:
      return Json(sym.text);
    case SymKind::Number:
      return value::json_number(sym.number);
    case SymKind::Literal:
      return literal_json(sym.literal);
    case SymKind::Operator:
      if (is_error(sym)) return Json(nullptr);
      return Json(std::string(sym.op));
    case SymKind::End:
      return Json("(end)");
  }
  return Json(nullptr);
}

Json token_value(const Raw& raw) {
  switch (raw.kind) {
    case RawKind::Name:
    case RawKind::Variable:
    case RawKind::String:
      return Json(raw.text);
    case RawKind::Number:
      return value::json_number(raw.number);
    case RawKind::Literal:
      return literal_json(raw.literal);
    default:
      return Json(nullptr);
  }
}

void mark_keep_array(Raw& raw) noexcept {
  Raw* step = &raw;
  while (step->kind == RawKind::Binary && step->text == "[") step = &step->children.front();
  step->keep_array = true;
}

Result<Parsed> parse_text(std::string_view text, bool recover) {
  Parser parser(text, recover);
  ZR_TRY(auto root, parser.root());
  Parsed parsed{std::move(root), parser.take_warnings(), parser.take_errors()};
  for (const annotation::DocComment& comment : parser.lexer().pending())
    parsed.warnings.push_back(annotation::unattached(comment));
  return parsed;
}

Result<Raw> Parser::root() {
  ZR_TRY(read(false));
  ZR_TRY(auto root, expression(0));
  while (sym_.kind != SymKind::End) {
    // Recovering, the symbol has become the error symbol, whose infix step takes the whole expression
    // as its left operand and reads on.
    ZR_TRY(at_symbol(error_at_node("S0201")));
    while (lbp(sym_) > 0) {
      ZR_TRY(root, led_step(std::move(root)));
    }
  }
  return root;
}

error::Error Parser::error_at_node(std::string_view code) {
  error::Error e(code);
  if (!is_error(sym_)) e = std::move(e).with("token", sym_value(sym_));
  return lexer_.locate(std::move(e), sym_.span, sym_.span.end);
}

void Parser::leave() {
  for (const annotation::DocComment& comment : sym_.docs)
    warnings_.push_back(annotation::unattached(comment));
  sym_.docs.clear();
  if (!is_error(sym_)) last_end_ = std::max(last_end_, sym_.span.end);
  stuck_.reset();
}

Status Parser::read(bool infix) {
  sym_.error.reset();
  Status status = lexer_.next(sym_, infix);
  if (status || !recover_) return status;
  // The lexer has moved past what it could not read; the error symbol stands in for it. The error may
  // have been recorded already when the token was looked at ahead, and then this read fails with it.
  if (std::exchange(read_ahead_, false)) {
    lexer_.drop_pending();
  } else {
    record(status.error());
  }
  become_error(std::move(status).error());
  return {};
}

Status Parser::advance(std::string_view expected, bool infix) {
  if (!expected.empty() && !at(expected)) {
    error::Error e(sym_.kind == SymKind::End ? "S0203" : "S0202");
    e = std::move(e).with("value", expected);
    if (!is_error(sym_)) e = std::move(e).with("token", sym_value(sym_));
    return at_symbol(lexer_.locate(std::move(e), sym_.span, sym_.span.end));
  }
  leave();
  return read(infix);
}

// Recover mode.

void Parser::record(const error::Error& e) {
  errors_.push_back(e.clone());
  lexer_.drop_pending();
}

Status Parser::record_first(error::Error e, std::unique_ptr<error::Error>& first) {
  if (!recover_) return fail(std::move(e));
  record(e);
  if (!first) first = std::make_unique<error::Error>(std::move(e));
  return {};
}

Raw Parser::error_node(error::Error e) const {
  Raw raw;
  raw.kind = RawKind::Error;
  raw.span = e.span().value_or(ast::Span{lexer_.offset(), lexer_.offset()});
  raw.position = raw.span.end;
  raw.error = std::make_unique<error::Error>(std::move(e));
  return raw;
}

void Parser::become_error(error::Error e) {
  sym_.kind = SymKind::Operator;
  sym_.op = kErrorSymbol;
  sym_.span = e.span().value_or(ast::Span{lexer_.offset(), lexer_.offset()});
  sym_.text.clear();
  sym_.docs.clear();
  sym_.error = std::make_unique<error::Error>(std::move(e));
  stuck_.reset();
}

Status Parser::at_symbol(error::Error e) {
  if (!recover_) return fail(std::move(e));
  // The error symbol stands for a symbol already reported; so does a symbol left in place.
  if (is_error(sym_)) return {};
  if (!stuck_) {
    record(e);
    stuck_ = std::make_unique<error::Error>(std::move(e));
  }
  if (sym_.kind == SymKind::End || awaited(sym_)) return {};
  become_error(std::move(*stuck_));
  return {};
}

Result<Raw> Parser::in_place(error::Error e) {
  if (!recover_) return fail(std::move(e));
  record(e);
  return error_node(std::move(e));
}

bool Parser::stays() const noexcept {
  return sym_.kind == SymKind::End ? stuck_ != nullptr : closes(sym_);
}

Raw Parser::stuck_operand() {
  if (!stuck_) {
    // Without recovery the symbol is consumed before it is found unable to start an operand, and the
    // token after it, read then, fails first when it cannot be read; so its error is recorded first.
    if (Status ahead = lexer_.peek_infix(); !ahead) {
      record(ahead.error());
      read_ahead_ = true;
    }
    error::Error e = lexer_.locate(error::Error("S0211").with_token(sym_.op), sym_.span, sym_.span.end);
    record(e);
    stuck_ = std::make_unique<error::Error>(std::move(e));
  }
  return error_node(stuck_->clone());
}

bool Parser::awaited(const Sym& sym) const noexcept {
  if (sym.kind != SymKind::Operator) return false;
  return std::find(awaited_.begin(), awaited_.end(), sym.op) != awaited_.end();
}

Parser::Awaiting::Awaiting(Parser& p, std::initializer_list<std::string_view> symbols)
    : p_(p), size_(p.awaited_.size()) {
  if (p.recover_) p.awaited_.insert(p.awaited_.end(), symbols);
}

Status Parser::deeper() {
  if (depth_ < kMaxNesting) {
    ++depth_;
    return {};
  }
  return fail(
      lexer_.locate(limit_error("The expression is nested too deeply (the limit is {} levels)", kMaxNesting),
                    sym_.span, sym_.span.end));
}

Result<Raw> Parser::expression(std::uint8_t rbp) {
  const std::size_t depth = depth_;
  ZR_TRY(deeper());
  // A level of the parser takes a few KiB of machine stack (several times that in sanitizer builds), too
  // much for sixteen unchecked levels to fit the red zone, so every level checks.
  Result<Raw> result;
  stack::nest(0, [this, rbp, &result] { expression_here(rbp, result); });
  depth_ = depth;
  return result;
}

void Parser::expression_here(std::uint8_t rbp, Result<Raw>& left) {
  if (recover_ && stays()) {
    // Not consumed: the construct that waits for this symbol takes it up.
    left = stuck_operand();
    return;
  }
  Sym t = std::move(sym_);
  if (!is_error(t)) last_end_ = std::max(last_end_, t.span.end);
  stuck_.reset();
  if (Status next = read(true); !next) {
    left = fail(std::move(next).error());
    return;
  }

  std::unique_ptr<annotation::Annotation> note;
  if (!t.docs.empty()) {
    note = std::make_unique<annotation::Annotation>();
    annotation::read(t.docs, *note, warnings_);
  }
  left = nud(t);
  if (note) {
    const std::uint8_t power = std::max(rbp, kAnnotatedPower);
    while (left && power < lbp(sym_)) left = led_step(std::move(*left));
    if (left && !note->empty()) left->annotation = std::move(note);
  }
  while (left && rbp < lbp(sym_)) left = led_step(std::move(*left));
}

Status Parser::push(Raw& into, std::uint8_t rbp) {
  Result<Raw> item = expression(rbp);
  if (!item) return fail(std::move(item).error());
  into.children.push_back(std::move(*item));
  return {};
}

Result<Raw> Parser::nud(Sym& t) {
  switch (t.kind) {
    case SymKind::Name:
    case SymKind::Variable:
    case SymKind::String: {
      Raw raw = leaf(t.kind == SymKind::Name       ? RawKind::Name
                     : t.kind == SymKind::Variable ? RawKind::Variable
                                                   : RawKind::String,
                     t);
      raw.text = std::move(t.text);
      return raw;
    }
    case SymKind::Number: {
      Raw raw = leaf(RawKind::Number, t);
      raw.number = t.number;
      return raw;
    }
    case SymKind::Literal: {
      Raw raw = leaf(RawKind::Literal, t);
      raw.literal = t.literal;
      return raw;
    }
    case SymKind::Regex: {
      Raw raw = leaf(RawKind::Regex, t);
      raw.text = std::move(t.text);
      raw.flags = std::move(t.flags);
      return raw;
    }
    case SymKind::End:
      return leaf(RawKind::End, t);
    case SymKind::Operator:
      break;
  }
  if (is_error(t)) return error_node(std::move(*t.error));
  const std::string_view op = t.op;
  if (op == "and" || op == "or" || op == "in") {
    Raw raw = leaf(RawKind::Name, t);
    raw.text = op;
    return raw;
  }
  if (op == "**") return leaf(RawKind::Descendant, t);
  if (op.size() == 1) {
    switch (op[0]) {
      case '*':
        return leaf(RawKind::Wildcard, t);
      case '%':
        return leaf(RawKind::Parent, t);
      case '-': {
        Raw raw = node(RawKind::Negate, t.span.end);
        ZR_TRY(push(raw, 70));
        raw.span = span_from(t.span.start);
        return raw;
      }
      case '(':
        return block(t);
      case '[':
        return array(t);
      case '{': {
        Raw raw = node(RawKind::Object, t.span.end);
        ZR_TRY(object_pairs(raw));
        raw.span = span_from(t.span.start);
        return raw;
      }
      case '|':
        return transform(t);
      default:
        break;
    }
  }
  return in_place(lexer_.locate(error::Error("S0211").with_token(op), t.span, t.span.end));
}

Result<Raw> Parser::block(Sym& t) {
  Awaiting awaiting(*this, {")", ";"});
  Raw raw = node(RawKind::Block, t.span.end);
  while (!at(")")) {
    ZR_TRY(push(raw, 0));
    if (!at(";")) break;
    ZR_TRY(advance(";", false));
  }
  ZR_TRY(advance(")", true));
  raw.span = span_from(t.span.start);
  return raw;
}

Result<Raw> Parser::array(Sym& t) {
  Awaiting awaiting(*this, {"]", ","});
  Raw raw = node(RawKind::Array, t.span.end);
  if (!at("]")) {
    for (;;) {
      ZR_TRY(push(raw, 0));
      if (at("..")) {
        Raw range = node(RawKind::Binary, sym_.span.end);
        range.text = "..";
        range.children.reserve(2);
        range.children.push_back(std::move(raw.children.back()));
        ZR_TRY(advance("..", false));
        ZR_TRY(push(range, 0));
        range.span = span_from(range.children.front().span.start);
        raw.children.back() = std::move(range);
      }
      if (!at(",")) break;
      ZR_TRY(advance(",", false));
    }
  }
  ZR_TRY(advance("]", true));
  raw.span = span_from(t.span.start);
  return raw;
}

Result<Raw> Parser::transform(Sym& t) {
  Awaiting awaiting(*this, {"|"});
  Raw raw = node(RawKind::Transform, t.span.end);
  ZR_TRY(push(raw, 0));
  ZR_TRY(advance("|", false));
  ZR_TRY(push(raw, 0));
  if (at(",")) {
    ZR_TRY(advance(",", false));
    ZR_TRY(push(raw, 0));
  }
  ZR_TRY(advance("|", false));
  raw.span = span_from(t.span.start);
  return raw;
}

Status Parser::object_pairs(Raw& into) {
  Awaiting awaiting(*this, {"}", ",", ":"});
  if (!at("}")) {
    for (;;) {
      ZR_TRY(push(into, 0));
      ZR_TRY(advance(":", false));
      ZR_TRY(push(into, 0));
      if (!at(",")) break;
      ZR_TRY(advance(",", false));
    }
  }
  return advance("}", true);
}

Result<Raw> Parser::led_step(Raw left) {
  ZR_TRY(deeper());
  const std::string_view op = sym_.op;  // static text: it outlives the symbol
  const std::uint8_t power = lbp(sym_);
  const std::size_t position = sym_.span.end;
  const std::size_t start = left.span.start;
  if (is_error(sym_)) {
    // The expression so far stands; its error was recorded when the symbol became the error symbol.
    Raw raw = node(RawKind::Error, position);
    raw.children.push_back(std::move(left));
    ZR_TRY(advance(false));
    raw.span = span_from(start);
    return raw;
  }
  ZR_TRY(advance(false));

  if (op.size() == 1) {
    switch (op[0]) {
      case '[': {
        if (at("]")) {
          mark_keep_array(left);
          // The language reads the symbol after "[]" in operand position.
          ZR_TRY(advance("]", false));
          return left;
        }
        break;
      }
      case '{': {
        Raw raw = node(RawKind::Group, position);
        raw.children.push_back(std::move(left));
        ZR_TRY(object_pairs(raw));
        raw.span = span_from(start);
        return raw;
      }
      case '(':
        return call(std::move(left), position);
      case '?': {
        Raw raw = node(RawKind::Condition, position);
        raw.children.push_back(std::move(left));
        {
          Awaiting awaiting(*this, {":"});
          ZR_TRY(push(raw, 0));
        }
        if (at(":")) {
          ZR_TRY(advance(":", false));
          ZR_TRY(push(raw, 0));
        }
        raw.span = span_from(start);
        return raw;
      }
      case '^':
        return sort(std::move(left), position);
      default:
        break;
    }
  }

  if (op == ":=" && left.kind != RawKind::Variable) {
    // Recovering, the binding becomes an error node; its right side is still read for its own errors.
    ZR_TRY(Raw failed, in_place(at_raw(error::Error("S0212").with("token", token_value(left)), left)));
    Raw right;
    ZR_TRY(push(right, 9));
    return failed;
  }
  Raw raw = node(RawKind::Binary, position);
  raw.text = op;
  raw.children.reserve(2);
  raw.children.push_back(std::move(left));
  if (op == "??" || op == "?:") {
    ZR_TRY(push(raw, 0));
  } else if (op == "[") {
    Awaiting awaiting(*this, {"]"});
    ZR_TRY(push(raw, 0));
    ZR_TRY(advance("]", true));
  } else if (op == ":=") {
    ZR_TRY(push(raw, 9));  // one below its own power: right-associative
  } else if (op == "@" || op == "#") {
    ZR_TRY(push(raw, 80));
    const Raw& right = raw.children.back();
    if (right.kind != RawKind::Variable) return in_place(at_raw(error::Error("S0214").with_token(op), right));
  } else {
    ZR_TRY(push(raw, power));
  }
  raw.span = span_from(start);
  return raw;
}

Result<Raw> Parser::call(Raw left, std::size_t position) {
  const std::size_t start = left.span.start;
  Raw raw = node(RawKind::Call, position);
  raw.children.push_back(std::move(left));
  {
    Awaiting awaiting(*this, {")", ","});
    if (!at(")")) {
      for (;;) {
        if (at("?")) {
          Raw placeholder = leaf(RawKind::Placeholder, sym_);
          ZR_TRY(advance("?", false));
          raw.children.push_back(std::move(placeholder));
          raw.partial = true;
        } else {
          ZR_TRY(push(raw, 0));
        }
        if (!at(",")) break;
        ZR_TRY(advance(",", false));
      }
    }
    ZR_TRY(advance(")", true));
  }
  const Raw& callee = raw.children.front();
  if (callee.kind == RawKind::Name && (callee.text == "function" || callee.text == "λ"))
    return lambda(std::move(raw), start);
  raw.span = span_from(start);
  return raw;
}

Result<Raw> Parser::lambda(Raw call, std::size_t start) {
  // Recovering, a definition with a bad parameter or signature becomes an error node holding the first
  // such error; the rest of it is still read for its own errors.
  std::unique_ptr<error::Error> failed;
  Raw raw = node(RawKind::Lambda, call.position);
  raw.params.reserve(call.children.size() - 1);
  for (std::size_t i = 1; i < call.children.size(); ++i) {
    Raw& argument = call.children[i];
    if (argument.kind != RawKind::Variable) {
      ZR_TRY(record_first(
          at_raw(error::Error("S0208").with("token", token_value(argument)).with("value", i), argument),
          failed));
      continue;
    }
    raw.params.push_back(std::move(argument.text));
  }
  if (at("<")) {
    // The signature's text is gathered from its symbols, dropping the whitespace between them.
    const std::size_t open = sym_.span.start;
    std::string text = "<";
    std::size_t depth = 1;
    while (depth > 0 && sym_.kind != SymKind::End && !at("{")) {
      ZR_TRY(advance(false));
      if (at("<")) ++depth;
      if (at(">")) --depth;
      text.append(text_.substr(sym_.span.start, sym_.span.end - sym_.span.start));
    }
    ZR_TRY(advance(">", false));
    auto parsed = signature::Signature::parse(text);
    if (!parsed) {
      error::Error e = std::move(parsed).error();
      std::size_t offset = 0;
      if (const Json* detail = e.detail("offset"); detail && detail->is_number_unsigned())
        offset = detail->get<std::size_t>();
      const std::size_t where = std::min(text_.size(), open + std::min(offset, text_.size()) + 1);
      ZR_TRY(record_first(lexer_.locate(std::move(e), {where, where}, where), failed));
    } else {
      raw.signature = std::move(*parsed);
    }
  }
  ZR_TRY(advance("{", false));
  {
    Awaiting awaiting(*this, {"}"});
    ZR_TRY(push(raw, 0));
    ZR_TRY(advance("}", false));
  }
  if (failed) return error_node(std::move(*failed));
  raw.span = span_from(start);
  return raw;
}

Result<Raw> Parser::sort(Raw left, std::size_t position) {
  const std::size_t start = left.span.start;
  ZR_TRY(advance("(", false));
  Awaiting awaiting(*this, {")", ","});
  Raw raw = node(RawKind::Sort, position);
  raw.children.push_back(std::move(left));
  for (;;) {
    bool descending = false;
    if (at("<")) {
      ZR_TRY(advance(false));
    } else if (at(">")) {
      descending = true;
      ZR_TRY(advance(false));
    }
    ZR_TRY(push(raw, 0));
    raw.descending.push_back(descending);
    if (!at(",")) break;
    ZR_TRY(advance(",", false));
  }
  // The language reads the symbol after a sort's ")" in operand position.
  ZR_TRY(advance(")", false));
  raw.span = span_from(start);
  return raw;
}

}  // namespace zarnu_core::parser
