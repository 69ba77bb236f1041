// Audited evaluation at the Python boundary: reads the level and the capture limits, runs the evaluation
// with the audit collector installed, and turns the audit tree and its explanation into Python objects,
// with the spans of the nodes counted in characters of the source as everywhere else in Python.
#include "audit_py.hpp"

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <boost/unordered/unordered_flat_map.hpp>

#include "audit/explain.hpp"
#include "audit/poll.hpp"
#include "audit/tree.hpp"
#include "convert.hpp"
#include "datetime.hpp"
#include "errors.hpp"
#include "hash.hpp"
#include "headroom.hpp"
#include "output.hpp"
#include "pyutil.hpp"
#include "stack.hpp"
#include "value_view.hpp"

namespace zarnu_py::audit_py {

namespace {

using pyutil::Ref;
using zarnu_core::json::Json;
namespace audit = zarnu_core::audit;

// Counts the node spans of the tree in characters of the source instead of bytes. Walked without
// recursion: the tree can be as deep as the evaluation was.
void spans_in_characters(audit::AuditNode& root, std::string_view source, audit::Poll& poll) {
  bool ascii = true;
  for (char c : source) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return;
  // characters[i]: the characters that begin before byte i.
  std::vector<std::size_t> characters(source.size() + 1);
  std::size_t count = 0;
  for (std::size_t i = 0; i < source.size(); ++i) {
    characters[i] = count;
    if ((static_cast<unsigned char>(source[i]) & 0xC0) != 0x80) ++count;
  }
  characters[source.size()] = count;
  auto convert = [&](std::size_t offset) { return offset < characters.size() ? characters[offset] : count; };
  std::vector<audit::AuditNode*> pending{&root};
  while (!pending.empty() && !poll.stop()) {
    audit::AuditNode* node = pending.back();
    pending.pop_back();
    node->span.start = convert(node->span.start);
    node->span.end = convert(node->span.end);
    for (audit::AuditNode& child : node->children) pending.push_back(&child);
  }
}

// Makes the audit's Python objects: JSON values (the result and the captured values) and the nodes of the
// tree, polling the time limit at every container member, with one str per distinct key. A failure gives
// an empty Ref: the poll stopped, a Python exception was raised, or the builder kept one (`take_error`).
class Writer {
 public:
  explicit Writer(audit::Poll& poll) : poll_(poll) {}

  audit::Poll& poll() noexcept { return poll_; }

  Ref json(const Json& value, std::size_t depth) {
    if (value.is_array()) {
      std::vector<Ref> items;
      items.reserve(value.size());
      for (const Json& item : value) {
        Ref one = member(item, depth);
        if (!one) return {};
        items.push_back(std::move(one));
      }
      return builder_.end_array(std::move(items));
    }
    if (value.is_string()) return text(value.get_ref<const std::string&>());
    if (value.is_number_float()) return number(value.get<double>());
    if (value.is_number_unsigned() ? value.get<std::uint64_t>() < (std::uint64_t{1} << 63)
                                   : value.is_number_integer())
      return integer(value.get<std::int64_t>());
    if (!value.is_object()) return convert::to_py(value);
    Ref out = dict(value.size());
    if (!out) return {};
    for (auto it = value.begin(); it != value.end(); ++it) {
      Ref one = member(it.value(), depth);
      if (!one) return {};
      builder_.insert(out, it.key(), std::move(one));
    }
    return out;
  }

  // The JSON form of a node; its captured values are released on the way.
  Ref node(audit::AuditNode& node, std::size_t depth) {
    if (poll_.stop()) return {};
    Ref out = dict(kNodeMembers);
    if (!out) return {};
    Members members{*this, out};
    audit::node_members(node, members);
    if (!members.ok) return {};
    if (node.children.empty()) return out;
    std::vector<Ref> children;
    children.reserve(node.children.size());
    for (audit::AuditNode& child : node.children) {
      Ref one = zarnu_core::stack::nest(depth + 1, [&] { return this->node(child, depth + 1); });
      if (!one) return {};
      children.push_back(std::move(one));
    }
    return members.put("children", builder_.end_array(std::move(children))) ? std::move(out) : Ref();
  }

  // The lines of an explanation, one at a time between polls.
  Ref lines(const std::vector<audit::explain::ExplanationLine>& lines) {
    std::vector<Ref> out;
    out.reserve(lines.size());
    for (const audit::explain::ExplanationLine& line : lines) {
      Ref one = member(line.to_json(), 0);
      if (!one) return {};
      out.push_back(std::move(one));
    }
    return builder_.end_array(std::move(out));
  }

  Ref take_error() noexcept { return builder_.take_error(); }

 private:
  struct TextHash {
    using is_transparent = void;
    std::uint64_t seed;
    std::size_t operator()(std::string_view text) const noexcept {
      return zarnu_core::hash::bytes(text, seed);
    }
  };
  struct NumberHash {
    std::uint64_t seed;
    std::size_t operator()(std::uint64_t bits) const noexcept {
      return zarnu_core::hash::bytes(std::string_view(reinterpret_cast<const char*>(&bits), sizeof bits),
                                     seed);
    }
  };
  struct TextEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
  };

  // A text of the tree (a kind, an outcome, an operator, a source snippet) or of a captured value: one
  // str per distinct text, since thousands of nodes repeat a few of them and capture the same records.
  Ref text(std::string_view text) {
    auto found = texts_.find(text);
    if (found == texts_.end()) {
      Ref made = convert::string(text);
      if (!made) return {};
      found = texts_.emplace(std::string(text), std::move(made)).first;
    }
    return Ref::borrow(found->second.get());
  }

  // The numbers of the captured values: one object per distinct double or integer, as for texts.
  Ref number(double x) {
    auto found = numbers_.find(std::bit_cast<std::uint64_t>(x));
    if (found == numbers_.end())
      found = numbers_.emplace(std::bit_cast<std::uint64_t>(x), convert::number(x)).first;
    return Ref::borrow(found->second.get());
  }

  // (Integers beyond 2^63 are made anew.)
  Ref integer(std::int64_t n) {
    auto found = integers_.find(std::bit_cast<std::uint64_t>(n));
    if (found == integers_.end())
      found = integers_.emplace(std::bit_cast<std::uint64_t>(n), convert::made(PyLong_FromLongLong(n))).first;
    return Ref::borrow(found->second.get());
  }

  // Most nodes have fewer members than this.
  static constexpr Py_ssize_t kNodeMembers = 10;

  Ref dict(std::size_t size) {
    return headroom::call(
        [&] { return convert::made(compat::dict_with_room(static_cast<Py_ssize_t>(size))); });
  }

  Ref member(const Json& value, std::size_t depth) {
    if (poll_.stop()) return {};
    return zarnu_core::stack::nest(depth + 1, [&] { return json(value, depth + 1); });
  }

  // Writes the members of a node into its dict.
  struct Members {
    Writer& writer;
    Ref& dict;
    bool ok = true;

    // The keys of the tree's own members are texts of the tree too, which keeps the builder's quickly
    // found keys for the keys of the captured values.
    bool put(std::string_view key, Ref value) {
      Ref name = ok && value ? writer.text(key) : Ref();
      ok = name && PyDict_SetItem(dict.get(), name.get(), value.get()) == 0;
      return ok;
    }
    void operator()(std::string_view key, std::uint64_t n) {
      put(key, convert::made(PyLong_FromUnsignedLongLong(n)));
    }
    void operator()(std::string_view key, std::string_view text) { put(key, writer.text(text)); }
    void operator()(std::string_view key, bool flag) { put(key, Ref::borrow(flag ? Py_True : Py_False)); }
    void operator()(std::string_view key, const zarnu_core::ast::Span& span) {
      Ref out = writer.dict(2);
      Members inner{writer, out};
      const bool made = out && inner.put("start", convert::made(PyLong_FromSize_t(span.start))) &&
                        inner.put("end", convert::made(PyLong_FromSize_t(span.end)));
      put(key, made ? std::move(out) : Ref());
    }
    void operator()(std::string_view key, const audit::AuditError& error) {
      put(key, writer.json(audit::to_json(error), 0));
    }
    void operator()(std::string_view key, const std::vector<audit::FilterAudit>& filters) {
      std::vector<Ref> out;
      for (const audit::FilterAudit& filter : filters) {
        Ref one = writer.json(audit::to_json(filter), 0);
        if (!one) return (void)put(key, {});
        out.push_back(std::move(one));
      }
      put(key, writer.builder_.end_array(std::move(out)));
    }
    void operator()(std::string_view key, Json& value) {
      put(key, writer.json(value, 0));
      value = Json();
    }
    void operator()(std::string_view key, audit::Operands& pair) {
      auto one = [&](std::optional<Json>& side) {
        return side ? writer.json(*side, 0) : Ref::borrow(Py_None);
      };
      std::vector<Ref> both;
      both.push_back(one(pair.first));
      both.push_back(one(pair.second));
      pair = {};
      put(key, both[0] && both[1] ? writer.builder_.end_array(std::move(both)) : Ref());
    }
  };

  audit::Poll& poll_;
  output::PyBuilder builder_;
  boost::unordered_flat_map<std::string, Ref, TextHash, TextEq> texts_{
      0, TextHash{zarnu_core::hash::map_seed()}};
  boost::unordered_flat_map<std::uint64_t, Ref, NumberHash> numbers_{
      0, NumberHash{zarnu_core::hash::map_seed()}};
  boost::unordered_flat_map<std::uint64_t, Ref, NumberHash> integers_{
      0, NumberHash{zarnu_core::hash::map_seed()}};
};

// The explanation's JSON form as Python objects.
Ref explanation_py(const audit::explain::Explanation& explanation, Writer& writer) {
  Ref out = convert::made(PyDict_New());
  if (!out || PyDict_SetItemString(out.get(), "result", convert::string(explanation.result).get()) < 0)
    return {};
  Ref lines = writer.lines(explanation.lines);
  if (!lines || PyDict_SetItemString(out.get(), "lines", lines.get()) < 0) return {};
  return out;
}

// The audit tree's JSON form as Python objects; it is taken apart on the way.
Ref tree_py(audit::AuditTree& tree, Writer& writer) {
  Ref header = convert::to_py(audit::header_json(tree.header, false));
  if (!header) return {};
  if (tree.header.result) {
    Ref result = writer.json(*tree.header.result, 0);
    if (!result || PyDict_SetItemString(header.get(), "result", result.get()) < 0) return {};
  }
  Ref out = convert::made(PyDict_New());
  if (PyDict_SetItemString(out.get(), "header", header.get()) < 0) return {};
  if (tree.root) {
    Ref root = writer.node(*tree.root, 0);
    if (!root || PyDict_SetItemString(out.get(), "root", root.get()) < 0) return {};
  }
  Ref count = convert::made(PyLong_FromUnsignedLongLong(tree.node_count));
  if (!count || PyDict_SetItemString(out.get(), "nodeCount", count.get()) < 0) return {};
  if (PyDict_SetItemString(out.get(), "truncated", tree.truncated ? Py_True : Py_False) < 0) return {};
  return out;
}

// The error entry of the result: the code and message of the error, then where it happened as the
// ZarnuError of that error reports it.
Ref error_dict(const zarnu_core::error::Error& error, std::string_view source) {
  Ref exception = errors::to_exception(error, source);
  Ref out = convert::made(PyDict_New());
  if (PyDict_SetItemString(out.get(), "code", convert::string(error.code()).get()) < 0) return {};
  if (PyDict_SetItemString(out.get(), "message", convert::string(error.message()).get()) < 0) return {};
  for (const char* name : {"position", "start", "end", "token", "value"}) {
    Ref attribute = Ref::steal(PyObject_GetAttrString(exception.get(), name));
    if (!attribute || PyDict_SetItemString(out.get(), name, attribute.get()) < 0) return {};
  }
  return out;
}

// The start time of an audited evaluation as text: the ISO 8601 form in UTC, empty when out of range.
std::string timestamp(double millis) {
  auto text = zarnu_core::datetime::from_millis(millis, std::nullopt, std::nullopt, 64);
  return text ? std::move(*text) : std::string();
}

// Pauses Python's cycle collector while the audit's objects are made: they hold no cycles, and a large
// audit would otherwise set off collections that walk everything made so far, again and again. Audits on
// several threads share one pause, so that the collector's state before the first is the state after the
// last (two pauses restoring each their own view would leave it off).
class CollectionPaused {
 public:
  CollectionPaused() {
    const std::lock_guard lock(mutex_);
    if (holders_++ == 0) was_enabled_ = PyGC_Disable();
  }
  CollectionPaused(const CollectionPaused&) = delete;
  CollectionPaused& operator=(const CollectionPaused&) = delete;
  ~CollectionPaused() {
    const std::lock_guard lock(mutex_);
    if (--holders_ == 0 && was_enabled_) PyGC_Enable();
  }

 private:
  // Neither call runs Python code, so holding the lock across them cannot deadlock.
  static inline std::mutex mutex_;
  static inline int holders_ = 0;
  static inline int was_enabled_ = 0;
};

bool set(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// The dict handed back, its values made by the writer (`result` is the JSON of the result, null for none);
// none when the poll stopped, an empty Ref with the exception set when a Python object could not be made.
std::optional<Ref> result_dict(Writer& writer, const Json* result, Ref error, audit::AuditTree& tree,
                               const audit::explain::Explanation& explanation) {
  Ref out = convert::made(PyDict_New());
  const bool made =
      out && set(out.get(), "result", result ? writer.json(*result, 0) : Ref::borrow(Py_None)) &&
      set(out.get(), "error", std::move(error)) && set(out.get(), "audit", tree_py(tree, writer)) &&
      set(out.get(), "explanation", explanation_py(explanation, writer)) &&
      set(out.get(), "explanation_text", convert::string(explanation.to_string(&writer.poll())));
  if (writer.poll().failure()) return std::nullopt;
  if (Ref kept = writer.take_error()) {
    compat::restore_exception(kept.release());
    return Ref();
  }
  if (!made) return Ref();
  return out;
}

}  // namespace

std::optional<Settings> settings(PyObject* level, PyObject* limits) {
  Settings out;
  if (level) {
    auto parsed = audit::parse_level(convert::text(level).view());
    if (!parsed) {
      PyErr_SetString(PyExc_ValueError, "level must be \"off\", \"decisions\" or \"full\"");
      return std::nullopt;
    }
    out.level = *parsed;
  }
  if (!limits) return out;
  // Each name and value with a reference of its own: making a name's text or an error message can run
  // Python code (the collector, finalizers) that changes the dict.
  const auto taken = convert::children(limits);
  if (!taken) return std::nullopt;
  for (std::size_t i = 0; i < taken->size(); i += 2) {
    PyObject* key = (*taken)[i].get();
    PyObject* value = (*taken)[i + 1].get();
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "the names of the limits must be str");
      return std::nullopt;
    }
    if (PyBool_Check(value) || !PyLong_Check(value)) {
      PyErr_Format(PyExc_TypeError, "limit %U must be an int", key);
      return std::nullopt;
    }
    const unsigned long long count = PyLong_AsUnsignedLongLong(value);
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "limit %U must not be negative", key);
      return std::nullopt;
    }
    const convert::Text key_text = convert::text(key);
    const std::string_view name = key_text.view();
    std::uint64_t* slot = name == "max_items"      ? &out.limits.max_items
                          : name == "max_string"   ? &out.limits.max_string
                          : name == "max_depth"    ? &out.limits.max_depth
                          : name == "max_rejected" ? &out.limits.max_rejected
                          : name == "max_nodes"    ? &out.limits.max_nodes
                          : name == "max_source"   ? &out.limits.max_source
                                                   : nullptr;
    if (!slot) {
      PyErr_Format(PyExc_ValueError, "unknown capture limit '%U'", key);
      return std::nullopt;
    }
    *slot = count;
  }
  return out;
}

std::optional<Input> input(PyObject* object) {
  audit::Fnv1a digest;
  Input out;
  if (object) {
    auto value = convert::to_value(object, "the input", digest);
    if (!value) return std::nullopt;
    out.value = std::move(*value);
  }
  out.hash = digest.hex();
  return out;
}

PyObject* run(const zarnu_core::Expression& compiled, Input input, const zarnu_core::Bindings& bindings,
              const zarnu_core::Options& options, const Settings& settings) {
  audit::collector::AuditCollector collector(settings.level, settings.limits, std::move(input.hash));

  const zarnu_core::ast::Ast& ast = compiled.ast();
  zarnu_core::Expression::Run run{options.limits(), zarnu_core::value::Shared::create(), &collector};
  // The run refuses a tree with an error diagnostic before evaluating anything; an audit of it has not
  // begun either.
  bool invalid = false;
  for (const auto& diagnostic : ast.diagnostics) invalid = invalid || diagnostic.kind == 0;
  if (!invalid) {
    // The collector's start time is the evaluation's own "now": fixed here and handed to the evaluator,
    // so that the timestamp of the audit and the time the expression sees agree.
    if (!run.limits.now) {
      using namespace std::chrono;
      run.limits.now = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    }
    collector.begin(ast.source, static_cast<double>(*run.limits.now));
  }

  // Keeps the time of the evaluation's limits for the writing of the audit.
  zarnu_core::eval::Evaluator clock(run.limits, {});
  // Host functions called from here get the stack room the caller had.
  headroom::Evaluation evaluation;
  auto outcome = [&]() -> zarnu_core::Result<std::pair<zarnu_core::value::Value, std::optional<Json>>> {
    ZR_TRY(zarnu_core::value::Value result, compiled.run(std::move(input.value), bindings, run));
    if (run.shared->failed) return zarnu_core::fail(run.shared->failure());
    zarnu_core::eval::Poll writing(clock);
    ZR_TRY(auto json, zarnu_core::to_json(zarnu_core::output::Output{result, run.limits.max_result_size,
                                                                     run.shared.get(), &writing}));
    return std::pair(std::move(result), std::move(json));
  }();
  if (!invalid) {
    if (outcome) {
      // The result's JSON is handed over: the audit's header and the "result" entry are both made from it.
      collector.end_with(std::move(outcome->second));
    } else {
      collector.end({nullptr, &outcome.error()});
    }
  }

  const std::string_view source = ast.source;
  std::string started = timestamp(collector.start_time());
  audit::AuditTree tree = audit::assemble(std::move(collector), std::move(started));
  // The time limit still holds while the audit is written: past it, the audit ends with the limit's
  // error and no nodes.
  audit::Poll poll(clock, audit::kPollInterval);
  const CollectionPaused paused;
  const audit::explain::Explanation explanation = audit::explain::explain(tree, &poll);
  if (tree.root) spans_in_characters(*tree.root, source, poll);
  const Json* returned = outcome && tree.header.result ? &*tree.header.result : nullptr;
  Ref error = outcome ? Ref::borrow(Py_None) : error_dict(outcome.error(), source);
  if (!error) return nullptr;
  Writer writer(poll);
  if (auto out = result_dict(writer, returned, std::move(error), tree, explanation)) return out->release();

  const zarnu_core::error::Error& late = *poll.failure();
  tree.header.result.reset();
  tree.header.error = audit::AuditError::of(late);
  tree.truncated = tree.truncated || tree.root;
  tree.root.reset();
  tree.node_count = 0;
  audit::Poll never;
  Writer plain(never);
  Ref late_error = error_dict(late, source);
  if (!late_error) return nullptr;
  auto out = result_dict(plain, nullptr, std::move(late_error), tree, audit::explain::explain(tree));
  return out ? out->release() : nullptr;
}

}  // namespace zarnu_py::audit_py
