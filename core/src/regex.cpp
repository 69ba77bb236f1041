// The bridge to the regular-expression engine: compiled literals cached per evaluation, the search, and
// match objects.
#include "regex.hpp"

#include "eval.hpp"
#include "function.hpp"
#include "utf.hpp"

namespace zarnu_core::regex {

using value::Value;

namespace {

// Until an engine is installed, patterns do not compile.
class NoEngine final : public Engine {
 public:
  std::expected<std::shared_ptr<const void>, std::string> compile(std::string_view,
                                                                  std::string_view) const override {
    return std::unexpected(std::string("regular expressions are not available"));
  }
  Result<std::optional<Match>> search(const void*, std::string_view, std::size_t,
                                      eval::Evaluator&) const override {
    return std::optional<Match>();
  }
};

const NoEngine kNoEngine;
const Engine* g_engine = &kNoEngine;

}  // namespace

const Engine& engine() {
  return *g_engine;
}
void set_engine(const Engine* e) {
  g_engine = e ? e : &kNoEngine;
}

Result<value::Rc<Regex>> Regex::create(std::string_view pattern, std::string_view flags) {
  auto compiled = engine().compile(pattern, flags);
  if (!compiled)
    return fail(error::Error("S0302").with("value", pattern).with_message(std::move(compiled).error()));
  auto r = value::Rc<Regex>::make();
  r->pattern = std::string(pattern);
  r->flags = std::string(flags);
  r->compiled = std::move(*compiled);
  return r;
}

std::size_t byte_offset(std::string_view text, std::size_t utf16_index) noexcept {
  std::size_t units = 0, pos = 0;
  while (pos < text.size() && units < utf16_index) {
    units += static_cast<unsigned char>(text[pos]) >= 0xF0 ? 2 : 1;
    pos += utf::sequence_length(static_cast<unsigned char>(text[pos]));
  }
  return pos < text.size() ? pos : text.size();
}

Result<Value> exec(eval::Evaluator& ev, const value::Rc<Regex>& regex, const value::Str& text,
                   std::size_t length, std::size_t start) {
  if (start > length) return Value();
  ZR_TRY(auto found, engine().search(regex->compiled.get(), text.view().substr(0, length), start, ev));
  if (!found) return Value();
  const std::string_view t = text.view();
  Value m = Value::object(5);
  value::Fields& f = m.as_object().fields;
  auto put = [&](std::string_view key, Value v) { f.try_emplace(value::Str::make(key), std::move(v)); };
  put("match", Value::string(t.substr(found->start, found->end - found->start)));
  put("start", Value::number(static_cast<double>(utf::utf16_length(t.substr(0, found->start)))));
  put("end", Value::number(static_cast<double>(utf::utf16_length(t.substr(0, found->end)))));
  value::Items groups;
  for (const auto& [gs, ge] : found->groups)
    groups.push_back(gs == std::string_view::npos ? Value() : Value::string(t.substr(gs, ge - gs)));
  put("groups", Value::array_with(std::move(groups), 0));
  put("next", value::make_function(value::NextFn{regex, text, length, found->end}));
  return m;
}

}  // namespace zarnu_core::regex

namespace zarnu_core::eval {

std::size_t Evaluator::RegexKeyHash::operator()(const std::pair<std::string, std::string>& k) const noexcept {
  return hash::bytes(k.first, hash::process_seed()) ^ (hash::bytes(k.second, hash::process_seed()) * 31);
}

Result<Value> Evaluator::regex_literal(const ast::Node& node) {
  const std::string& flags = node.regex_flags ? *node.regex_flags : std::string();
  auto key = std::pair(node.text, flags);
  auto it = regexes_.find(key);
  if (it == regexes_.end()) {
    auto compiled = regex::Regex::create(node.text, flags);
    if (!compiled) return fail(locate(std::move(compiled).error(), node));
    it = regexes_.insert_or_assign(std::move(key), std::move(*compiled)).first;
  }
  return value::make_function(value::MatcherFn{it->second});
}

}  // namespace zarnu_core::eval
