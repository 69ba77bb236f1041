// Location paths: steps evaluated once per item of the current sequence with the results flattened into
// the next sequence, switching to a tuple stream (items travelling with their focus, index and ancestor
// bindings) from the first step that binds something.
#include "eval/eval.hpp"
#include "eval/lookup.hpp"
#include "value/lazy.hpp"
#include "value/limits.hpp"

namespace zarnu_core::eval {

using ast::Node;
using ast::NodeKind;
using value::Fields;
using value::Str;

namespace {

constexpr std::string_view kAt = "@";

// A field-name step with nothing attached: evaluated by a plain lookup.
bool plain_name(const Node& n) noexcept {
  return n.kind == NodeKind::Name && !n.attrs && !n.cons_array && !n.tuple && !n.keep_array;
}

// A field-name step whose only attributes are positions given by number literals ("name[0]").
bool indexed_name(const Node& n) noexcept {
  if (n.kind != NodeKind::Name || !n.attrs || n.cons_array || n.tuple || n.keep_array) return false;
  const ast::Attrs& a = *n.attrs;
  if (a.ancestor || !a.predicates.empty() || !a.seeking.empty() || a.focus || a.index || a.ancestor_label ||
      a.group || a.stages.empty())
    return false;
  for (const ast::Stage& stage : a.stages)
    if (!stage.is_filter() || stage.predicate->kind != NodeKind::Number || stage.predicate->attrs)
      return false;
  return true;
}

bool plain_variable(const Node& n) noexcept {
  return n.kind == NodeKind::Variable && !n.attrs && !n.cons_array && !n.tuple && !n.keep_array;
}

Value tuple_of(Fields fields) {
  return Value::adopt_object(new value::Object(std::move(fields)));
}

}  // namespace

Value tuple_get(const Value& tuple) {
  if (!tuple.is_object()) return Value();
  value::FieldsRef fields = tuple.as_object().borrow();
  auto it = fields->find(kAt);
  return it != fields->end() ? it->second : Value();
}

Fields tuple_map(const Value& tuple) {
  if (!tuple.is_object()) return value::make_fields();
  value::FieldsRef fields = tuple.as_object().borrow();
  Fields copy = value::make_fields(fields->size() + 2);
  for (const auto& [k, v] : *fields) copy.try_emplace(k, v);
  return copy;
}

FrameRef Evaluator::frame_from_tuple(const FrameRef& parent, const Value& tuple) {
  FrameRef f = child(parent);
  if (!tuple.is_object()) return f;
  value::FieldsRef fields = tuple.as_object().borrow();
  for (const auto& [k, v] : *fields) bind(f, k.view(), v, k);
  return f;
}

Result<Value> Evaluator::stages(const std::vector<ast::Stage>& list, Value v, const FrameRef& frame) {
  for (const ast::Stage& stage : list) {
    if (stage.is_filter()) {
      ZR_TRY(v, filter(*stage.predicate, stage.constant, std::move(v), frame));
      continue;
    }
    if (!v.is_array()) continue;
    const Items& items = v.as_array().read();
    Str name = key(stage.name);
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (!items[i].is_object()) continue;
      value::FieldsMut fields = items[i].as_object().borrow_mut();
      auto [slot, inserted] = fields->try_emplace(name, Value());
      slot.value() = Value::number(static_cast<double>(i));
    }
  }
  return v;
}

namespace {

// Flattens a plain step's results into the next sequence.
Result<Value> flatten(Items results, bool last, const Node* next, std::size_t limit) {
  if (results.size() == 1 && results[0].is_array() && !(results[0].as_array().flags & value::kSequence)) {
    const value::Array& a = results[0].as_array();
    if (last) return std::move(results[0]);
    const bool splice = (a.flags & value::kCons) || const_cast<value::Array&>(a).read().empty() ||
                        (next && (next->kind == NodeKind::Sort || next->tuple));
    if (!splice) return std::move(results[0]);
  }
  Items seq;
  seq.reserve(results.size());
  for (Value& v : results) {
    if (v.is_array() && !(v.as_array().flags & value::kCons)) {
      const Items& items = v.as_array().read();
      if (seq.size() + items.size() > limit) return fail(array_too_long(limit));
      seq.insert(seq.end(), items.begin(), items.end());
    } else {
      if (seq.size() >= limit) return fail(array_too_long(limit));
      seq.push_back(std::move(v));
    }
  }
  return Value::sequence(std::move(seq));
}

// Host arrays not read yet, and of which nothing was kept, that a plain step can read item by item
// straight from their source (see host_members).
bool unread_host_arrays(const Items& values) {
  for (const Value& v : values) {
    const value::LazyItems* lazy = value::unread_host_array(v);
    if (!lazy || !lazy->taken.empty()) return false;
  }
  return !values.empty();
}

// A plain name step over the items of host arrays not read yet: each item's member is looked up in the
// host directly, with no value made for the item. What is read, the failures and the item limit are those
// of reading the arrays whole and then looking the name up in each item; a member that is a container is
// kept for its item, as the item's object would keep it. Nothing (and nothing read) when an array holds an
// item that needs the general walk.
std::optional<Result<Items>> host_members(Evaluator& ev, const Items& arrays, std::string_view key,
                                          std::size_t limit) {
  std::size_t total = 0;
  for (const Value& a : arrays) {
    value::LazyItems& lazy = *value::unread_host_array(a);
    auto n = lazy.pending.source->plain_items(lazy.index);
    if (!n) return std::nullopt;
    total += *n;
  }
  // A single array becomes the sequence as it is, whatever its length.
  if (arrays.size() > 1 && total > limit) return Result<Items>(fail(array_too_long(limit)));
  Items results;
  results.reserve(total);
  for (const Value& a : arrays) {
    if (ev.polls())
      if (auto e = ev.poll()) return Result<Items>(fail(std::move(*e)));
    value::LazyItems& lazy = *value::unread_host_array(a);
    const std::size_t start = results.size();
    value::Sink sink(results, lazy.pending.shared);
    std::string failure;
    if (lazy.pending.source->read_members(lazy.index, key, sink, failure) == value::FieldOutcome::Failed)
      lazy.pending.shared->record(std::move(failure));
    // One value per item: containers are kept for their items, items without the member drop out.
    std::size_t kept = start;
    for (std::size_t p = start; p < results.size(); ++p) {
      Value& member = results[p];
      if (member.is_undefined()) continue;
      if (member.is_array() || member.is_object()) value::keep_member(lazy, p - start, key, member);
      if (kept != p) results[kept] = std::move(member);
      ++kept;
    }
    results.erase(results.begin() + static_cast<std::ptrdiff_t>(kept), results.end());
  }
  return Result<Items>(std::move(results));
}

bool empty_sequence(const Value& v) {
  return v.is_undefined() || (v.is_array() && v.as_array().read().empty());
}

}  // namespace

Result<Value> Evaluator::path(const Node& node, const Value& input, const FrameRef& frame) {
  const std::vector<Node>& steps = node.children;
  const ast::Group* group_by = node.group();

  // Shortcut: a chain of plain field names (the first may be a plain variable) over objects. Each step
  // holds one item, which only an item limit of zero refuses: then the general walk gives that error. Where
  // the chain meets a data array, the general walk goes on from there, without reading the steps before it
  // again.
  std::size_t resume = 0;
  Value resumed;
  if (!node.keep_singleton && !node.keep_array && !group_by && !tracer_ && depth_ < limits_.max_depth &&
      limits_.max_array_length > 0) {
    bool plain = true;
    for (std::size_t i = 0; i < steps.size() && plain; ++i)
      plain = plain_name(steps[i]) || indexed_name(steps[i]) || (i == 0 && plain_variable(steps[i]));
    if (plain) {
      std::size_t i = 0;
      Value cur = input;
      if (steps[0].kind == NodeKind::Variable) {
        cur = variable(steps[0].text, input, *frame);
        i = 1;
        if (cur.is_undefined()) return cur;
      }
      bool general = false;
      bool again = false;  // the general walk starts over
      for (; i < steps.size() && !again; ++i) {
        if (cur.is_array()) {
          general = true;
          break;
        }
        cur = functions::lookup(cur, steps[i].text);
        if (cur.is_undefined()) return cur;
        if (!steps[i].attrs) continue;
        // One position in a host list not read yet: the item alone is read, with no sequence around it.
        if (const auto& stages = steps[i].attrs->stages; stages.size() == 1 && !stages[0].predicate->attrs)
          if (auto picked = host_pick(cur, stages[0].predicate->number)) {
            if (picked->is_undefined()) return Value();
            if (!picked->is_array()) {
              cur = std::move(*picked);
              continue;
            }
          }
        for (const ast::Stage& stage : steps[i].attrs->stages) {
          ZR_TRY(cur, filter(*stage.predicate, stage.constant, std::move(cur), frame));
        }
        // The one item taken goes on, or none ends the path; an array taken is flattened by the general
        // walk.
        const Items& taken = cur.as_array().read();
        if (taken.empty()) return Value();
        if (taken.front().is_array()) {
          general = again = true;
        } else {
          cur = Value(taken.front());
        }
      }
      if (!general && !(cur.is_array() && (cur.as_array().flags & value::kSequence))) return cur;
      if (general && !again && i > 0 && !(cur.as_array().flags & value::kSequence)) {
        resume = i;
        resumed = std::move(cur);
      }
    }
  }

  const std::size_t limit = limits_.max_array_length;
  Value seq;
  if (input.is_array() && steps[0].kind != NodeKind::Variable) {
    seq = input;
  } else {
    Items one;
    one.push_back(input);
    seq = Value::sequence(std::move(one));
  }
  bool tuple_mode = false;
  Value stream;  // the tuple stream, once made
  Value result = seq;
  std::size_t first = 0;
  // Host arrays (not read yet) whose items the next step looks into straight from the host.
  Items deferred;
  const auto direct = [&](const Node& step) {
    return plain_name(step) && !tracer_ && depth_ + 1 <= limits_.max_depth;
  };
  if (resume > 0 && direct(steps[resume])) {
    Items one;
    one.push_back(resumed);
    if (unread_host_arrays(one)) {
      deferred = std::move(one);
      first = resume;
      resume = 0;
    }
  }
  if (resume > 0) {
    Items one;
    one.push_back(std::move(resumed));
    ZR_TRY(seq, flatten(std::move(one), false, &steps[resume], limit));
    result = seq;
    first = seq.as_array().read().empty() ? steps.size() : resume;
  }

  for (std::size_t i = first; i < steps.size(); ++i) {
    const Node& step = steps[i];
    const bool last = i + 1 == steps.size();
    const ast::Attrs& attrs = step.a();
    if (step.tuple) tuple_mode = true;

    if (i == 0 && step.cons_array) {
      ZR_TRY(result, eval(step, seq, frame));
    } else if (step.kind == NodeKind::Sort) {
      if (tuple_mode && !stream.is_undefined()) {
        ZR_TRY(Value sorted, sort(step, stream, frame));
        ZR_TRY(stream, stages(attrs.stages, std::move(sorted), frame));
        result = stream;
      } else if (tuple_mode) {
        ZR_TRY(Value sorted, sort(step, seq, frame));
        Items tuples;
        Items items = sorted.items_or_self();
        tuples.reserve(items.size());
        for (std::size_t k = 0; k < items.size(); ++k) {
          Fields t = value::make_fields(2);
          t.try_emplace(key(kAt), std::move(items[k]));
          if (attrs.index) t.try_emplace(key(*attrs.index), Value::number(static_cast<double>(k)));
          tuples.push_back(tuple_of(std::move(t)));
        }
        ZR_TRY(stream,
               stages(attrs.stages,
                      Value::array_with(std::move(tuples), value::kSequence | value::kTupleStream), frame));
        result = stream;
      } else {
        ZR_TRY(Value sorted, sort(step, seq, frame));
        ZR_TRY(result, stages(attrs.stages, std::move(sorted), frame));
      }
    } else if (!tuple_mode) {
      Items results;
      bool read = false;
      if (!deferred.empty()) {
        if (auto r = host_members(*this, deferred, step.text, limit)) {
          ZR_TRY(results, std::move(*r));
          read = true;
        } else {
          ZR_TRY(result, flatten(std::move(deferred), false, &step, limit));
          if (empty_sequence(result)) break;
          seq = result;
        }
        deferred.clear();
      }
      // The items are walked where they are: `seq` holds them, and evaluating a step changes no array.
      Items single;
      if (!read && !seq.is_array()) single.push_back(seq);
      const Items& items = read ? single : seq.is_array() ? seq.as_array().read() : single;
      results.reserve(items.size());
      const bool fast = plain_name(step) && !tracer_;
      for (const Value& item : items) {
        Value v;
        if (fast && !item.is_array()) {
          if (depth_ + 1 > limits_.max_depth)
            return fail(error::Error("D1011").with("value", limits_.max_depth));
          if (polls_)
            if (auto e = poll()) return fail(std::move(*e));
          v = functions::lookup(item, step.text);
          if (v.is_array() && (v.as_array().flags & value::kSequence)) {
            ZR_TRY(v, eval(step, item, frame));
          }
        } else {
          ZR_TRY(v, eval(step, item, frame));
        }
        for (const ast::Stage& stage : attrs.stages)
          if (stage.is_filter()) {
            ZR_TRY(v, filter(*stage.predicate, stage.constant, std::move(v), frame));
          }
        if (!v.is_undefined()) results.push_back(std::move(v));
      }
      if (!last && direct(steps[i + 1]) && unread_host_arrays(results)) {
        deferred = std::move(results);
        continue;
      }
      ZR_TRY(result, flatten(std::move(results), last, last ? nullptr : &steps[i + 1], limit));
    } else {
      Items tuples_in;
      if (stream.is_undefined()) {
        for (Value& item : seq.items_or_self()) {
          Fields t = value::make_fields(2);
          t.try_emplace(key(kAt), std::move(item));
          tuples_in.push_back(tuple_of(std::move(t)));
        }
      } else {
        tuples_in = stream.items_or_self();
      }
      Items out;
      for (const Value& t : tuples_in) {
        FrameRef scope = frame_from_tuple(frame, t);
        Value at = tuple_get(t);
        ZR_TRY(Value v, eval(step, at, scope));
        if (v.is_undefined()) continue;
        const bool from_stream = v.is_array() && (v.as_array().flags & value::kTupleStream);
        Items contributions = v.items_or_self();
        if (out.size() + contributions.size() > limit) return fail(array_too_long(limit));
        for (std::size_t b = 0; b < contributions.size(); ++b) {
          Fields m = tuple_map(t);
          Value& c = contributions[b];
          if (from_stream) {
            if (c.is_object()) {
              value::FieldsRef add = c.as_object().borrow();
              for (const auto& [k, x] : *add) {
                auto [slot, inserted] = m.try_emplace(k, Value());
                slot.value() = x;
              }
            }
          } else {
            if (attrs.focus) {
              m.insert_or_assign(key(*attrs.focus), c);
              m.insert_or_assign(key(kAt), at);
            } else {
              m.insert_or_assign(key(kAt), c);
            }
            if (attrs.index) m.insert_or_assign(key(*attrs.index), Value::number(static_cast<double>(b)));
            if (attrs.ancestor_label) m.insert_or_assign(key(*attrs.ancestor_label), at);
          }
          out.push_back(tuple_of(std::move(m)));
        }
      }
      ZR_TRY(stream,
             stages(attrs.stages, Value::array_with(std::move(out), value::kSequence | value::kTupleStream),
                    frame));
      result = stream;
    }

    if (!tuple_mode && empty_sequence(result)) break;
    if (!attrs.focus) seq = result;
  }

  if (tuple_mode) {
    if (stream.is_undefined()) stream = Value::array_with({}, value::kSequence | value::kTupleStream);
    if (node.tuple) {
      result = stream;
    } else {
      Items ats;
      const Items& tuples = stream.as_array().read();
      ats.reserve(tuples.size());
      for (const Value& t : tuples) ats.push_back(tuple_get(t));
      result = Value::sequence(std::move(ats));
    }
  }
  if (node.keep_singleton && result.is_array()) {
    value::Array& a = result.as_array();
    if ((a.flags & value::kCons) && !(a.flags & value::kSequence)) {
      Items one;
      one.push_back(std::move(result));
      result = Value::sequence(std::move(one));
    }
    result.as_array().flags |= value::kKeepSingleton;
  }
  if (group_by) return group(*group_by, node, tuple_mode ? stream : std::move(result), frame);
  return result;
}

}  // namespace zarnu_core::eval
