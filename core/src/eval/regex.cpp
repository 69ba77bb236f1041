// The bridge to the regular-expression engine: compiled literals cached per evaluation, the search under
// the evaluation's time limit and cancellation, and match objects.
#include "eval/regex.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "eval/eval.hpp"
#include "eval/function.hpp"
#include "support/panic.hpp"
#include "support/stack.hpp"
#include "util.hpp"
#include "value/limits.hpp"

namespace zarnu_core::regex {

using value::Value;

namespace {

const Engine* g_substitute = nullptr;

// The engine's invariant failures become the core's panics.
template <class F>
auto guarded(F&& f) {
  try {
    return f();
  } catch (const zarnu_regex::util::Panic& p) {
    panic(p.what());
  }
}

// The built-in engine behind the generic interface, for callers that compile patterns of their own.
class Builtin final : public Engine {
 public:
  std::expected<std::shared_ptr<const void>, std::string> compile(std::string_view pattern,
                                                                  std::string_view flags) const override {
    auto compiled = guarded([&] { return zarnu_regex::api::Regex::from_utf8(pattern, flags); });
    if (!compiled) return std::unexpected(std::move(compiled.error().text));
    return std::make_shared<const zarnu_regex::api::Regex>(std::move(*compiled));
  }
  Result<std::optional<Match>> search(const void* compiled, std::string_view text, std::size_t start,
                                      eval::Evaluator& ev) const override {
    const auto& re = *static_cast<const zarnu_regex::api::Regex*>(compiled);
    ZR_TRY(auto found, ev.find_regex(re, text, text.size(), start));
    if (!found) return std::optional<Match>();
    Match m{found->start(), found->end(), {}};
    m.groups.reserve(found->captures.size());
    for (const auto& c : found->captures)
      m.groups.push_back(c ? *c : std::pair(std::string_view::npos, std::string_view::npos));
    return std::optional<Match>(std::move(m));
  }
};

const Builtin kBuiltin;

}  // namespace

// The memory a search's backtracking may take over a subject of `bytes` bytes: a search keeps a record or
// two per loop iteration, so its need grows with the subject (a loop over alternatives with a capture group
// takes up to 72 bytes per character); a fixed floor serves short subjects, and a larger max_result_size
// raises the limit. Past it a search ends with the size error instead of taking the machine's memory.
namespace {

std::size_t search_memory_limit(std::size_t max_result_size, std::size_t bytes) noexcept {
  constexpr std::size_t kFloor = std::size_t{64} << 20, kPerByte = 128;
  const std::size_t grown = bytes > (SIZE_MAX - kFloor) / kPerByte ? SIZE_MAX : kFloor + kPerByte * bytes;
  return std::max(max_result_size, grown);
}

}  // namespace

// One search state under an evaluation's limits. Without a timeout or a cancellation flag nothing can
// interrupt a search: no polling at all.
struct Search {
  struct Ask {
    Search* search;
    bool operator()() const {
      search->stop = search->ev.interrupted();
      return search->stop.has_value();
    }
  };

  Search(eval::Evaluator& e, const zarnu_regex::api::Regex& re, std::string_view text)
      : ev(e),
        ask{this},
        callback(zarnu_regex::interrupt::Callback::of(ask)),
        memory(search_memory_limit(e.limits().max_result_size, text.size())),
        searcher(re, text, memory, e.interruptible() ? &callback : nullptr) {}
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;

  // Whether a match was found at or after `from`, or the error that ended the search.
  Result<bool> find(std::size_t from) {
    using Status = zarnu_regex::exec::Searcher::Status;
    switch (guarded([&] { return searcher.find(from); })) {
      case Status::Match:
        return true;
      case Status::None:
        return false;
      case Status::Stopped:
        return fail(stop ? std::move(*stop) : error::Error("U1003"));
      case Status::OverLimit:
        break;
    }
    return fail(limit_error(
        "A pattern search would exceed the memory limit of {} bytes (a larger max_result_size raises it)",
        memory));
  }

  eval::Evaluator& ev;
  std::optional<error::Error> stop;
  Ask ask;
  zarnu_regex::interrupt::Callback callback;
  std::size_t memory;
  zarnu_regex::exec::Searcher searcher;
};

struct Matches::Search : regex::Search {
  using regex::Search::Search;
};

Matches::Matches(eval::Evaluator& ev, const value::Rc<Regex>& regex, std::string_view text)
    : ev_(&ev), regex_(regex), text_(text), search_(std::make_unique<Search>(ev, *regex->compiled, text)) {}

Matches::~Matches() = default;

std::size_t Matches::start() const noexcept {
  return search_->searcher.start();
}
std::size_t Matches::end() const noexcept {
  return search_->searcher.end();
}
const std::vector<zarnu_regex::exec::Searcher::Capture>& Matches::captures() const noexcept {
  return search_->searcher.captures();
}

Result<bool> Matches::next() {
  if (auto e = ev_->poll()) return fail(std::move(*e));
  std::size_t from = 0;
  if (!first_) {
    from = end();
    if (from >= text_.size()) return false;
  }
  ZR_TRY(const bool found, search_->find(from));
  if (!found) return false;
  if (!first_ && start() == end()) return fail(error::Error("D1004").with("value", regex_->pattern));
  first_ = false;
  return true;
}

std::size_t Matches::units_at(std::size_t offset) noexcept {
  // Matches move left to right: counting on from the last offset asked keeps a walk over them linear.
  if (offset < counted_) counted_ = counted_units_ = 0;
  counted_units_ += utf16_units(text_.substr(counted_, offset - counted_));
  counted_ = offset;
  return counted_units_;
}

const Engine& engine() {
  return g_substitute ? *g_substitute : static_cast<const Engine&>(kBuiltin);
}

void set_engine(const Engine* e) {
  g_substitute = e;
}

Result<value::Rc<Regex>> Regex::create(std::string_view pattern, std::string_view flags,
                                       zarnu_regex::interrupt::Poll* poll) {
  auto r = value::Rc<Regex>::make();
  r->pattern = std::string(pattern);
  r->flags = std::string(flags);
  auto failed = [&](std::string message) {
    return fail(error::Error("S0302").with("value", pattern).with("message", message));
  };
  if (g_substitute) {
    auto compiled = g_substitute->compile(pattern, flags);
    if (!compiled) return failed(std::move(compiled).error());
    r->substitute = std::move(*compiled);
    return r;
  }
  // The parser recurses once per nesting level (at most 256); give it room when the stack runs low.
  auto compile = [&] {
    return guarded([&] { return zarnu_regex::api::Regex::from_utf8(pattern, flags, poll); });
  };
  auto compiled =
      stack::remaining() >= zarnu_regex::parse::kParseStackBytes ? compile() : stack::grow(compile);
  if (!compiled && compiled.error().stopped) return fail(error::Error("U1003"));
  if (!compiled) return failed(std::move(compiled.error().text));
  r->compiled.emplace(std::move(*compiled));
  return r;
}

std::size_t utf16_units(std::string_view text) noexcept {
  // A lead byte counts one unit, a four-byte lead one more (a surrogate pair); continuation bytes none.
  std::size_t units = 0, i = 0;
#if defined(__SSE2__)
  const auto* data = reinterpret_cast<const unsigned char*>(text.data());
  const __m128i continuation_max = _mm_set1_epi8(static_cast<char>(0xBF)),
                four = _mm_set1_epi8(static_cast<char>(0xF0));
  for (; i + 16 <= text.size(); i += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
    // As signed bytes, continuation bytes (0x80-0xBF) are those not greater than 0xBF.
    const auto leads = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(chunk, continuation_max)));
    const auto fours =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(chunk, four), chunk)));
    units += static_cast<std::size_t>(std::popcount(leads) + std::popcount(fours));
  }
#endif
  for (; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    units += static_cast<std::size_t>((b & 0xC0) != 0x80) + (b >= 0xF0);
  }
  return units;
}

std::size_t byte_offset(std::string_view text, std::size_t utf16_index) noexcept {
  std::size_t units = 0, pos = 0;
  while (pos < text.size() && units < utf16_index) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    units += lead >= 0xF0 ? 2 : 1;
    pos += zarnu_regex::util::utf8_sequence_length(lead);
  }
  return pos < text.size() ? pos : text.size();
}

Result<Value> exec(eval::Evaluator& ev, const value::Rc<Regex>& regex, const value::Str& text,
                   std::size_t length, std::size_t start, std::size_t start_units) {
  if (start > length) return Value();
  const std::string_view t = text.view().substr(0, length);
  std::size_t match_start = 0, match_end = 0;
  value::Items groups;
  if (regex->substitute) {
    ZR_TRY(auto found, g_substitute->search(regex->substitute.get(), t, start, ev));
    if (!found) return Value();
    match_start = found->start;
    match_end = found->end;
    for (const auto& [gs, ge] : found->groups)
      groups.push_back(gs == std::string_view::npos ? Value() : Value::string(t.substr(gs, ge - gs)));
  } else {
    ZR_TRY(auto found, ev.find_regex(*regex->compiled, t, length, start));
    if (!found) return Value();
    match_start = found->start();
    match_end = found->end();
    groups.reserve(found->captures.size());
    for (const auto& c : found->captures)
      groups.push_back(c ? Value::string(t.substr(c->first, c->second - c->first)) : Value());
  }
  // Counting from where the search started, when its offset in UTF-16 units is known, keeps a walk over
  // every match of a long text linear.
  const std::size_t match_units = start_units != kUnknownUnits
                                      ? start_units + utf16_units(t.substr(start, match_start - start))
                                      : utf16_units(t.substr(0, match_start));
  const std::size_t end_units = match_units + utf16_units(t.substr(match_start, match_end - match_start));
  Value m = Value::object(5);
  value::Fields& f = m.as_object().fields;
  auto put = [&](std::string_view key, Value v) { f.try_emplace(value::Str::make(key), std::move(v)); };
  put("match", Value::string(t.substr(match_start, match_end - match_start)));
  put("start", Value::number(static_cast<double>(match_units)));
  put("end", Value::number(static_cast<double>(end_units)));
  put("groups", Value::array_with(std::move(groups), 0));
  put("next", value::make_function(value::NextFn{regex, text, length, match_end, end_units}));
  return m;
}

}  // namespace zarnu_core::regex

namespace zarnu_core::eval {

Result<std::optional<zarnu_regex::api::Match>> Evaluator::find_regex(const zarnu_regex::api::Regex& regex,
                                                                     std::string_view text,
                                                                     std::size_t length, std::size_t start) {
  if (start != 0 && start < length && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
    panic("start index is not on a char boundary");
  if (start > length) return std::optional<zarnu_regex::api::Match>();
  regex::Search search(*this, regex, text.substr(0, length));
  ZR_TRY(const bool found, search.find(start));
  if (!found) return std::optional<zarnu_regex::api::Match>();
  zarnu_regex::api::Match m;
  m.range = {search.searcher.start(), search.searcher.end()};
  m.captures = search.searcher.captures();
  m.group_names = regex.compiled().group_names;
  return std::optional<zarnu_regex::api::Match>(std::move(m));
}

std::size_t Evaluator::RegexKeyHash::operator()(const std::pair<std::string, std::string>& k) const noexcept {
  return hash::bytes(k.first, hash::process_seed()) ^ (hash::bytes(k.second, hash::process_seed()) * 31);
}

Result<Value> Evaluator::regex_literal(const ast::Node& node) {
  const std::string& flags = node.regex_flags ? *node.regex_flags : std::string();
  auto key = std::pair(node.text, flags);
  auto it = regexes_.find(key);
  if (it == regexes_.end()) {
    // A long pattern takes long to compile: the compilation polls the limits as a search does.
    std::optional<error::Error> stop;
    auto ask = [&] {
      stop = time_limits();
      return stop.has_value();
    };
    zarnu_regex::interrupt::Poll poll(zarnu_regex::interrupt::Callback::of(ask));
    auto compiled = regex::Regex::create(node.text, flags, timed_ ? &poll : nullptr);
    if (stop) return fail(std::move(*stop));
    if (!compiled) return fail(locate(std::move(compiled).error(), node));
    it = regexes_.insert_or_assign(std::move(key), std::move(*compiled)).first;
  }
  return value::make_function(value::MatcherFn{it->second});
}

}  // namespace zarnu_core::eval
