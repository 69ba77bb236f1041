// Audited evaluation at the Python boundary: reads the level and the capture limits, runs the evaluation
// with the audit collector installed, and turns the audit tree and its explanation into Python objects,
// with the spans of the nodes counted in characters of the source as everywhere else in Python.
#include "audit_py.hpp"

#include <bit>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
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
#include "datetime/datetime.hpp"
#include "errors.hpp"
#include "headroom.hpp"
#include "pyutil.hpp"
#include "source.hpp"
#include "support/hash.hpp"
#include "support/stack.hpp"
#include "value/value_view.hpp"

namespace zarnu_py::audit_py {

namespace {

using pyutil::Ref;
using zarnu_core::json::Json;
using zarnu_core::value::Value;
namespace audit = zarnu_core::audit;
using audit::AddressHash;

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
// tree, polling the time limit at every container member, with one str per distinct text. A failure gives
// an empty Ref: with a Python exception set when an object could not be made, without one when the poll
// stopped the writing (`cut`).
//
// A large audit is hundreds of thousands of dicts and lists. Tracked by the cycle collector as they are
// made, they would set off collections that walk them again and again; so each is made untracked (or
// untracked once complete), and all are handed to the collector together when the writer goes, before
// anything else can reach them. They hold no cycles, and the collector's own switch is left alone: other
// threads and their cycles go on as before. A dict is tracked only when it holds a container, as the
// interpreter itself does.
class Writer {
 public:
  explicit Writer(audit::Poll& poll) : poll_(poll) {}
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  ~Writer() {
    for (const Ref& container : untracked_)
      if (!PyObject_GC_IsTracked(container.get())) PyObject_GC_Track(container.get());
  }

  audit::Poll& poll() noexcept { return poll_; }

  // Whether the last failure was the poll stopping the writing rather than a Python error.
  static bool cut() noexcept { return PyErr_Occurred() == nullptr; }

  // The nodes written so far, children before the parents that hold them.
  std::uint64_t nodes() const noexcept { return nodes_; }

  Ref json(const Json& value, std::size_t depth) {
    if (value.is_array()) return list_of(value, [&](const Json& item) { return member(item, depth); });
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
      if (!one || !put(out, it.key(), std::move(one))) return {};
    }
    return done(std::move(out));
  }

  // The JSON form of a node. When the poll stops the writing among its children, the node keeps the
  // children written so far.
  Ref node(const audit::AuditNode& node, std::size_t depth) {
    if (poll_.stop()) return {};
    Ref out = dict(kNodeMembers);
    if (!out) return {};
    Members members{*this, out};
    audit::node_members(node, members);
    if (!members.ok) return {};
    ++nodes_;
    std::vector<Ref> children;
    children.reserve(node.children.size());
    for (const audit::AuditNode& child : node.children) {
      Ref one = zarnu_core::stack::nest(depth + 1, [&] { return this->node(child, depth + 1); });
      if (!one) {
        if (!cut()) return {};
        break;
      }
      children.push_back(std::move(one));
    }
    if (!children.empty() && !members.put("children", list(std::move(children)))) return {};
    return done(std::move(out));
  }

  // A captured value (a snapshot, see audit::snapshot). Snapshots share the parts of the values they
  // were taken of, and nodes share snapshots (their context, the items of a sequence): a container met
  // again is copied from the one made the first time, so that no two places share a container (a caller
  // changing one node's dict must not change another's), and a string met again is the same str.
  Ref captured(const Value& value, std::size_t depth) {
    using zarnu_core::value::Tag;
    switch (value.tag()) {
      case Tag::Undefined:
      case Tag::Null:
        return Ref::borrow(Py_None);
      case Tag::Bool:
        return Ref::borrow(value.as_boolean() ? Py_True : Py_False);
      case Tag::Number:
        // As the JSON form writes it: a number that is not finite is null.
        return std::isfinite(value.as_number()) ? number(value.as_number()) : Ref::borrow(Py_None);
      case Tag::String:
        return string(value);
      case Tag::Function:  // (a snapshot holds its text instead)
        return text("<function>");
      case Tag::Array:
      case Tag::Object:
        break;
    }
    const void* payload = payload_of(value);
    if (auto found = containers_.find(payload); found != containers_.end()) return copy(found->second, depth);
    // Where the containers inside lie, for the copies of this one.
    std::vector<Inner> inside;
    Ref out;
    if (value.is_array()) {
      const zarnu_core::value::Items& items = value.as_array().read();
      std::vector<Ref> made;
      made.reserve(items.size());
      for (const Value& item : items) {
        Ref one = inner(item, depth);
        if (!one) return {};
        if (const void* at = payload_of(item)) inside.push_back({Ref(), made.size(), at});
        made.push_back(std::move(one));
      }
      out = list(std::move(made));
    } else {
      zarnu_core::value::FieldsRef fields = value.as_object().borrow();
      out = dict(fields->size());
      if (!out) return {};
      for (const auto& [key, member] : *fields) {
        if (member.is_undefined()) continue;
        Ref name = string(Value::string(key));
        Ref item = name ? inner(member, depth) : Ref();
        if (!item || PyDict_SetItem(out.get(), name.get(), item.get()) < 0) return {};
        if (const void* at = payload_of(member)) inside.push_back({std::move(name), 0, at});
      }
      out = done(std::move(out));
    }
    if (!out) return {};
    containers_.emplace(payload, MadeContainer{value, Ref::borrow(out.get()), std::move(inside)});
    return out;
  }

  // The lines of an explanation, one at a time between polls; `written` counts those the list holds, fewer
  // than all when the poll stopped the writing.
  Ref lines(const std::vector<audit::explain::ExplanationLine>& lines, std::size_t& written) {
    std::vector<Ref> out;
    out.reserve(lines.size());
    for (const audit::explain::ExplanationLine& line : lines) {
      Ref one = poll_.stop() ? Ref() : this->line(line);
      if (!one) {
        if (!cut()) return {};
        break;
      }
      out.push_back(std::move(one));
    }
    written = out.size();
    return list(std::move(out));
  }

 private:
  // A container inside a made one: under its key in a dict, at its index in a list.
  struct Inner {
    Ref key;
    std::size_t index;
    const void* payload;
  };
  // What a captured container was made into, and where the containers inside it lie.
  struct MadeContainer {
    Value value;
    Ref made;
    std::vector<Inner> inside;
  };

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

  // A text of the tree (a kind, an outcome, an operator, a source snippet, a key) or of a captured value:
  // one str per distinct text, since thousands of nodes repeat a few of them and capture the same records.
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
    if (found == numbers_.end()) {
      Ref made = convert::number(x);
      if (!made) return {};
      found = numbers_.emplace(std::bit_cast<std::uint64_t>(x), std::move(made)).first;
    }
    return Ref::borrow(found->second.get());
  }

  // (Integers beyond 2^63 are made anew.)
  Ref integer(std::int64_t n) {
    auto found = integers_.find(std::bit_cast<std::uint64_t>(n));
    if (found == integers_.end()) {
      Ref made = convert::made(PyLong_FromLongLong(n));
      if (!made) return {};
      found = integers_.emplace(std::bit_cast<std::uint64_t>(n), std::move(made)).first;
    }
    return Ref::borrow(found->second.get());
  }

  // Most nodes have fewer members than this.
  static constexpr Py_ssize_t kNodeMembers = 10;

  // A new dict starts untracked; putting a container into it tracks it (see `done`).
  Ref dict(std::size_t size) {
    return headroom::call(
        [&] { return convert::made(compat::dict_with_room(static_cast<Py_ssize_t>(size))); });
  }

  // A list of what `make` gives for each of the items; none at the first failure.
  template <class Items, class Make>
  Ref list_of(const Items& items, Make&& make) {
    std::vector<Ref> made;
    made.reserve(items.size());
    for (const auto& item : items) {
      Ref one = make(item);
      if (!one) return {};
      made.push_back(std::move(one));
    }
    return list(std::move(made));
  }

  // A list of the items, untracked. (Making a list or a dict can run the collector, and with it
  // finalizers: Python code, which gets its stack room through headroom::call.)
  Ref list(std::vector<Ref> items) {
    Ref out =
        headroom::call([&] { return convert::made(PyList_New(static_cast<Py_ssize_t>(items.size()))); });
    if (!out) return {};
    for (std::size_t i = 0; i < items.size(); ++i)
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), items[i].release());
    PyObject_GC_UnTrack(out.get());
    untracked_.push_back(Ref::borrow(out.get()));
    return out;
  }

  // A copy of a container this writer made: the containers inside copied in turn, the rest shared.
  Ref copy(const MadeContainer& made, std::size_t depth) {
    PyObject* original = made.made.get();
    const bool dict = PyDict_CheckExact(original);
    if (poll_.stop()) return {};
    Ref out = headroom::call([&] {
      return convert::made(dict ? PyDict_Copy(original)
                                : PyList_GetSlice(original, 0, PyList_GET_SIZE(original)));
    });
    if (!out) return {};
    for (const Inner& inner : made.inside) {
      const MadeContainer& was = containers_.find(inner.payload)->second;
      Ref one = zarnu_core::stack::nest(depth + 1, [&] { return copy(was, depth + 1); });
      if (!one) return {};
      if (dict ? PyDict_SetItem(out.get(), inner.key.get(), one.get()) < 0
               : PyList_SetItem(out.get(), static_cast<Py_ssize_t>(inner.index), one.release()) < 0)
        return {};
    }
    if (dict) return done(std::move(out));
    PyObject_GC_UnTrack(out.get());
    untracked_.push_back(Ref::borrow(out.get()));
    return out;
  }

  // The address of a container's contents, which identifies it; nullptr for any other value.
  static const void* payload_of(const Value& value) noexcept {
    if (value.is_array()) return &value.as_array();
    if (value.is_object()) return &value.as_object();
    return nullptr;
  }

  bool put(const Ref& dict, std::string_view key, Ref value) {
    return value && put(dict, text(key), std::move(value));
  }
  bool put(const Ref& dict, const Ref& name, Ref value) {
    return name && value && PyDict_SetItem(dict.get(), name.get(), value.get()) == 0;
  }

  // A text that stays where it is for the life of the program (a key of the tree's form): one str each,
  // found by its address. Node after node, the keys come in the same order: the search starts after the
  // one found last, where the next key nearly always is.
  Ref name(std::string_view literal) {
    const std::size_t count = names_.size();
    for (std::size_t k = 0, at = next_name_; k < count; ++k, ++at) {
      if (at == count) at = 0;
      if (names_[at].first == literal.data()) {
        next_name_ = at + 1;
        return Ref::borrow(names_[at].second.get());
      }
    }
    Ref made = text(literal);
    if (!made) return {};
    names_.emplace_back(literal.data(), Ref::borrow(made.get()));
    next_name_ = names_.size();
    return made;
  }

  // A complete dict: while it was filled, only the dicts still open could be tracked.
  Ref done(Ref dict) {
    if (PyObject_GC_IsTracked(dict.get())) {
      PyObject_GC_UnTrack(dict.get());
      untracked_.push_back(Ref::borrow(dict.get()));
    }
    return dict;
  }

  Ref member(const Json& value, std::size_t depth) {
    if (poll_.stop()) return {};
    return zarnu_core::stack::nest(depth + 1, [&] { return json(value, depth + 1); });
  }

  // An item or member of a captured container.
  Ref inner(const Value& value, std::size_t depth) {
    if (poll_.stop()) return {};
    return zarnu_core::stack::nest(depth + 1, [&] { return captured(value, depth + 1); });
  }

  // A captured string: one str per string met (found by where its text lies, which the entry keeps alive),
  // and one per distinct text.
  Ref string(const Value& value) {
    // A string of the input is its own str, which holds its text unchanged.
    if (PyObject* str = source::hosted_str(value.string_host())) return Ref::borrow(str);
    const std::string_view view = value.as_string();
    if (auto found = strings_.find(view.data()); found != strings_.end())
      return Ref::borrow(found->second.made.get());
    // Short texts (names, codes, words) recur from value to value; a longer one is seldom met twice but
    // where its string was, which the entry above finds.
    Ref made = view.size() <= kShortText ? text(view) : convert::string(view);
    if (!made) return {};
    strings_.emplace(view.data(), Made{value, Ref::borrow(made.get())});
    return made;
  }
  static constexpr std::size_t kShortText = 16;

  // A span's dict: each node of a syntax node has one of the same, copied from the first made (a copy is
  // cheaper than a dict filled anew).
  Ref span(const zarnu_core::ast::Span& span) {
    if (auto found = spans_.find(std::pair(span.start, span.end)); found != spans_.end())
      return headroom::call([&] { return convert::made(PyDict_Copy(found->second.get())); });
    Ref out = dict(2);
    Members inner{*this, out};
    const bool made = out && inner.put("start", convert::made(PyLong_FromSize_t(span.start))) &&
                      inner.put("end", convert::made(PyLong_FromSize_t(span.end)));
    if (!made) return {};
    spans_.emplace(std::pair(span.start, span.end), Ref::borrow(out.get()));
    return out;
  }

  // An explanation line in its JSON form (see ExplanationLine::to_json); its text is its own.
  Ref line(const audit::explain::ExplanationLine& line) {
    Ref out = dict(5);
    if (!out) return {};
    Members members{*this, out};
    const bool made = members.put("depth", convert::made(PyLong_FromSize_t(line.depth))) &&
                      members.put("passed", Ref::borrow(!line.passed   ? Py_None
                                                        : *line.passed ? Py_True
                                                                       : Py_False)) &&
                      members.put("text", convert::string(line.text)) &&
                      (!line.message || members.put("message", text(*line.message))) &&
                      members.put("node", convert::made(PyLong_FromUnsignedLong(line.node)));
    return made ? done(std::move(out)) : Ref();
  }

  // Writes the members of a node into its dict.
  struct Members {
    Writer& writer;
    Ref& dict;
    bool ok = true;

    // (The keys of a node are texts of the program, each found by where it lies.)
    bool put(std::string_view key, Ref value) {
      ok = ok && value && writer.put(dict, writer.name(key), std::move(value));
      return ok;
    }
    void operator()(std::string_view key, std::uint64_t n) {
      put(key, convert::made(PyLong_FromUnsignedLongLong(n)));
    }
    void operator()(std::string_view key, std::string_view text) { put(key, writer.text(text)); }
    void operator()(std::string_view key, bool flag) { put(key, Ref::borrow(flag ? Py_True : Py_False)); }
    void operator()(std::string_view key, const zarnu_core::ast::Span& span) { put(key, writer.span(span)); }
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
      put(key, writer.list(std::move(out)));
    }
    void operator()(std::string_view key, const Value& snapshot) { put(key, writer.captured(snapshot, 0)); }
    void operator()(std::string_view key, const audit::Operands& pair) {
      std::vector<Ref> both;
      both.push_back(writer.captured(pair.first, 0));
      both.push_back(writer.captured(pair.second, 0));
      put(key, both[0] && both[1] ? writer.list(std::move(both)) : Ref());
    }
  };

  audit::Poll& poll_;
  std::vector<Ref> untracked_;  // the containers to hand to the cycle collector
  std::uint64_t nodes_ = 0;
  // What a captured string or container was made into, with the value that keeps its address its own.
  struct Made {
    Value value;
    Ref made;
  };
  boost::unordered_flat_map<const void*, Made, AddressHash> strings_;
  std::vector<std::pair<const char*, Ref>> names_;  // in the order first met
  std::size_t next_name_ = 0;
  boost::unordered_flat_map<const void*, MadeContainer, AddressHash> containers_;
  boost::unordered_flat_map<std::pair<std::size_t, std::size_t>, Ref,
                            boost::hash<std::pair<std::size_t, std::size_t>>>
      spans_;
  boost::unordered_flat_map<std::string, Ref, TextHash, TextEq> texts_{
      0, TextHash{zarnu_core::hash::map_seed()}};
  boost::unordered_flat_map<std::uint64_t, Ref, NumberHash> numbers_{
      0, NumberHash{zarnu_core::hash::map_seed()}};
  boost::unordered_flat_map<std::uint64_t, Ref, NumberHash> integers_{
      0, NumberHash{zarnu_core::hash::map_seed()}};
};

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

bool set(PyObject* dict, const char* key, Ref value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// The dict handed back (`error` is the entry of a failed evaluation, None for a value). The result comes
// first, written as `evaluate` writes it: when the time limit stops that, there is no result to hand back
// (none is returned, and the caller reports the limit's error). What the time limit stops after it is the
// audit alone: the explanation lines and the nodes not written by then are left out, and the audit says
// it is truncated. An empty Ref: a Python object could not be made (the exception is set).
std::optional<Ref> result_dict(Writer& writer, Ref error, audit::AuditTree& tree, std::string_view source) {
  audit::Poll& poll = writer.poll();
  const std::optional<Json>& returned = tree.header.result;
  Ref result = returned ? writer.json(*returned, 0) : Ref::borrow(Py_None);
  if (!result) return Writer::cut() ? std::nullopt : std::optional(Ref());
  Ref header_result = returned ? writer.json(*returned, 0) : Ref();
  if (returned && !header_result) return Writer::cut() ? std::nullopt : std::optional(Ref());
  audit::explain::Explanation explanation;
  explanation.result = audit::explain::result_text(tree.header, &poll);
  if (poll.failure()) return std::nullopt;

  if (tree.root) audit::explain::explain_node(*tree.root, 0, explanation.lines, &poll);
  std::size_t written = 0;
  Ref lines = writer.lines(explanation.lines, written);
  if (!lines) return Ref();
  explanation.lines.resize(written);
  Ref explained = convert::made(PyDict_New());
  if (!explained || !set(explained.get(), "result", convert::string(explanation.result)) ||
      !set(explained.get(), "lines", std::move(lines)))
    return Ref();

  if (tree.root && !poll.failure()) spans_in_characters(*tree.root, source, poll);
  Ref root = tree.root ? writer.node(*tree.root, 0) : Ref();
  if (!root && !Writer::cut()) return Ref();
  const bool cut = poll.failure().has_value();
  Ref header = convert::to_py(audit::header_json(tree.header, false));
  if (!header || (header_result && !set(header.get(), "result", std::move(header_result)))) return Ref();
  Ref audited = convert::made(PyDict_New());
  if (!audited || !set(audited.get(), "header", std::move(header)) ||
      (root && !set(audited.get(), "root", std::move(root))) ||
      !set(audited.get(), "nodeCount",
           convert::made(PyLong_FromUnsignedLongLong(cut ? writer.nodes() : tree.node_count))) ||
      !set(audited.get(), "truncated", Ref::borrow(tree.truncated || cut ? Py_True : Py_False)))
    return Ref();

  Ref out = convert::made(PyDict_New());
  if (!out || !set(out.get(), "result", std::move(result)) || !set(out.get(), "error", std::move(error)) ||
      !set(out.get(), "audit", std::move(audited)) || !set(out.get(), "explanation", std::move(explained)) ||
      !set(out.get(), "explanation_text", convert::string(explanation.to_string())))
    return Ref();
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
  // Whole audits capture the input's objects over and over; those are shared rather than copied.
  if (settings.level == audit::Level::Full) collector.input(input.value);

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
  // The time limit still holds while the result and the audit are written.
  audit::Poll poll(clock, audit::kPollInterval);
  Ref error = outcome ? Ref::borrow(Py_None) : error_dict(outcome.error(), source);
  if (!error) return nullptr;
  {
    Writer writer(poll);
    if (auto out = result_dict(writer, std::move(error), tree, source)) return out->release();
  }

  // The result could not be written in time: the evaluation ends with the limit's error, and the audit
  // with it and no nodes.
  const zarnu_core::error::Error& late = *poll.failure();
  tree.header.result.reset();
  tree.header.error = audit::AuditError::of(late);
  tree.truncated = tree.truncated || tree.root;
  tree.root.reset();
  tree.node_count = 0;
  audit::Poll never;
  Ref late_error = error_dict(late, source);
  if (!late_error) return nullptr;
  Writer plain(never);
  auto out = result_dict(plain, std::move(late_error), tree, source);
  return out ? out->release() : nullptr;
}

}  // namespace zarnu_py::audit_py
