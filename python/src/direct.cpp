// Simple queries over Python objects without the core: the plan's compiler (from the processed tree) and
// its runner, which reads exact dicts, lists and scalars and builds the result directly, handing out the
// input's own objects where the general road would give equal objects of the same type.
#include "direct.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "convert.hpp"
#include "eval/eval.hpp"
#include "watch.hpp"

namespace zarnu_py::direct {

namespace {

using zarnu_core::ast::BinOp;
using zarnu_core::ast::Node;
using zarnu_core::ast::NodeKind;

// Longer paths are left to the general road: the runner recurses once per step.
constexpr std::size_t kMostSteps = 64;
// The most pairs a constructor may have.
constexpr std::size_t kMostPairs = 16;

// ---------------------------------------------------------------------------------------------------------
// Compiling

bool bare(const Node& n) noexcept {
  return !n.attrs && !n.keep_array && !n.cons_array && !n.tuple && !n.keep_singleton;
}

Ref key_string(std::string_view text) {
  PyObject* made = convert::string(text).release();
  PyUnicode_InternInPlace(&made);
  return Ref::steal(made);
}

// The field a comparison reads: a name alone, or a path of that one name.
const Node* field_of(const Node& n) noexcept {
  const Node* name = &n;
  if (n.kind == NodeKind::Path && bare(n) && n.children.size() == 1) name = &n.children[0];
  return name->kind == NodeKind::Name && bare(*name) ? name : nullptr;
}

std::optional<Op> op_of(BinOp op) noexcept {
  switch (op) {
    case BinOp::Eq:
      return Op::Eq;
    case BinOp::Ne:
      return Op::Ne;
    case BinOp::Lt:
      return Op::Lt;
    case BinOp::Le:
      return Op::Le;
    case BinOp::Gt:
      return Op::Gt;
    case BinOp::Ge:
      return Op::Ge;
    default:
      return std::nullopt;
  }
}

// The operator with its operands swapped: «30 < x» is «x > 30».
Op mirrored(Op op) noexcept {
  switch (op) {
    case Op::Lt:
      return Op::Gt;
    case Op::Le:
      return Op::Ge;
    case Op::Gt:
      return Op::Lt;
    case Op::Ge:
      return Op::Le;
    default:
      return op;
  }
}

std::optional<Stage> compile_stage(const zarnu_core::ast::Stage& stage) {
  if (!stage.is_filter()) return std::nullopt;
  const Node& p = *stage.predicate;
  Stage out;
  if (p.kind == NodeKind::Number && bare(p)) {
    out.position = true;
    out.number = p.number;
    return out;
  }
  if (p.kind != NodeKind::Binary || !bare(p)) return std::nullopt;
  auto op = op_of(p.op);
  if (!op) return std::nullopt;
  const Node* field = field_of(p.lhs());
  const Node* literal = &p.rhs();
  if (!field) {
    field = field_of(p.rhs());
    literal = &p.lhs();
    op = mirrored(*op);
  }
  if (!field || !bare(*literal)) return std::nullopt;
  out.op = *op;
  out.field_text = &field->text;
  if (literal->kind == NodeKind::Number) {
    out.number = literal->number;
    return std::isfinite(out.number) ? std::optional<Stage>(std::move(out)) : std::nullopt;
  }
  if (literal->kind != NodeKind::String) return std::nullopt;
  out.literal_text = &literal->text;
  return out;
}

// Makes the strings of a stage whose shape fits; false when its literal cannot be used.
bool name_stage(Stage& stage) {
  if (stage.position) return true;
  stage.field = key_string(*stage.field_text);
  if (!stage.literal_text) return true;
  // Text that is not plain UTF-8 (an escaped lone surrogate) compares by rules the runner does not follow.
  const std::string& text = *stage.literal_text;
  PyObject* made = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
  if (!made) {
    PyErr_Clear();
    return false;
  }
  stage.text = Ref::steal(made);
  stage.wide = PyUnicode_KIND(made) == PyUnicode_4BYTE_KIND;
  return true;
}

// Makes the strings of a path whose whole shape fits (most expressions do not: they are turned down before
// any Python object is made for them).
bool name_path(Path& path) {
  for (Step& step : path.steps) {
    step.name = key_string(*step.text);
    for (Stage& stage : step.stages)
      if (!name_stage(stage)) return false;
  }
  for (Pair& pair : path.pairs) {
    pair.key = key_string(*pair.text);
    if (!name_path(*pair.value)) return false;
  }
  return true;
}

std::unique_ptr<Path> compile_path(const Node& node, bool top);

bool compile_constructor(const Node& node, Path& out) {
  if (node.kind != NodeKind::Object || !bare(node)) return false;
  const std::size_t n = node.children.size() / 2;
  if (n > kMostPairs) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const Node& key = node.children[2 * i];
    if (key.kind != NodeKind::String || !bare(key)) return false;
    // A repeated key is an error of the general road's.
    for (std::size_t j = 0; j < i; ++j)
      if (node.children[2 * j].text == key.text) return false;
    auto value = compile_path(node.children[2 * i + 1], false);
    if (!value) return false;
    // The general road reads a field of an item once and keeps a container found there: two paths through
    // the same field could see different containers should code run between the two reads.
    for (const Pair& pair : out.pairs)
      if (*pair.value->steps[0].text == *value->steps[0].text) return false;
    out.pairs.push_back({Ref(), std::move(value), &key.text});
  }
  out.constructs = true;
  return true;
}

// A path of field names with their predicates, ending (at the top only) with an object constructor.
std::unique_ptr<Path> compile_path(const Node& node, bool top) {
  if (node.kind != NodeKind::Path || !bare(node) || node.children.empty() ||
      node.children.size() > kMostSteps)
    return nullptr;
  auto path = std::make_unique<Path>();
  for (std::size_t i = 0; i < node.children.size(); ++i) {
    const Node& step = node.children[i];
    if (top && i > 0 && i + 1 == node.children.size() && step.kind == NodeKind::Object)
      return compile_constructor(step, *path) ? std::move(path) : nullptr;
    if (step.kind != NodeKind::Name || step.keep_array || step.cons_array || step.tuple) return nullptr;
    Step made{Ref(), {}, &step.text};
    if (step.attrs) {
      const zarnu_core::ast::Attrs& a = *step.attrs;
      if (a.ancestor || !a.predicates.empty() || !a.seeking.empty() || a.focus || a.index ||
          a.ancestor_label || a.group)
        return nullptr;
      for (const zarnu_core::ast::Stage& stage : a.stages) {
        auto compiled = compile_stage(stage);
        if (!compiled) return nullptr;
        made.stages.push_back(std::move(*compiled));
      }
    }
    path->steps.push_back(std::move(made));
  }
  return path;
}

// ---------------------------------------------------------------------------------------------------------
// Running

enum class Kind : std::uint8_t { Dict, List, Scalar, Other };

// What the general road reads an object as, for the exact types only: an int must fit 64 bits (a larger one
// goes through a conversion that can fail).
Kind kind_of(PyObject* object) noexcept {
  PyTypeObject* type = Py_TYPE(object);
  if (type == &PyDict_Type) return Kind::Dict;
  if (type == &PyList_Type) return Kind::List;
  if (type == &PyUnicode_Type || type == &PyFloat_Type || object == Py_None || type == &PyBool_Type)
    return Kind::Scalar;
  if (type == &PyLong_Type) {
    int overflow = 0;
    (void)PyLong_AsLongLongAndOverflow(object, &overflow);
    return overflow ? Kind::Other : Kind::Scalar;
  }
  return Kind::Other;
}

// Whether a str holds a lone surrogate, which the general road replaces.
bool has_surrogate(PyObject* str) noexcept {
  const int kind = PyUnicode_KIND(str);
  if (kind == PyUnicode_1BYTE_KIND) return false;
  const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
  const void* data = PyUnicode_DATA(str);
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c >= 0xD800 && c < 0xE000) return true;
  }
  return false;
}

// Whether a finite double is an integer; beyond 2**52 every one is.
bool integral(double x) noexcept {
  return !(std::fabs(x) < 4503599627370496.0) || static_cast<double>(static_cast<std::int64_t>(x)) == x;
}

// The position a number selects among n items, as a predicate takes it.
std::optional<std::size_t> position(double k, std::size_t n) noexcept {
  double i = std::floor(k);
  if (i < 0) i += static_cast<double>(n);
  if (i < 0 || i >= static_cast<double>(n)) return std::nullopt;
  return static_cast<std::size_t>(i);
}

template <class T>
bool compare(Op op, const T& a, const T& b) noexcept {
  switch (op) {
    case Op::Eq:
      return a == b;
    case Op::Ne:
      return a != b;
    case Op::Lt:
      return a < b;
    case Op::Le:
      return a <= b;
    case Op::Gt:
      return a > b;
    case Op::Ge:
      return a >= b;
  }
  return false;
}

// Why a run ended early.
enum class End : std::uint8_t { GiveUp, Stopped };

class Runner {
 public:
  explicit Runner(watch::Watch& watch) : watch_(watch) {}
  Runner(const Runner&) = delete;
  Runner& operator=(const Runner&) = delete;
  ~Runner() {
    release(0);
    for (PyObject* object : out_) Py_DECREF(object);
  }

  // The value of a path over one item: a new reference, or a null Ref for undefined; none when it ended.
  std::optional<Ref> evaluate(const Path& path, PyObject* item) {
    const std::size_t start = out_.size();
    Results results;
    if (!visit(path, 0, item, results)) return std::nullopt;
    return value(start, results);
  }

  // The value of the top path over a list given as the input. The first step looks its field up in every
  // item at once: its values form one sequence, never a list handed out whole, which the plan follows item by
  // item as long as no predicate of that step picks a position in it.
  std::optional<Ref> evaluate_rows(const Path& path, PyObject* list) {
    const std::size_t start = out_.size();
    Results results;
    // A first step that ends the path gives that sequence: as though another value came first.
    if (path.steps.size() == 1 && !path.constructs) results.count = 1;
    const std::size_t taken = held_.size();
    const Taken release{*this, taken};
    path_.push_back(list);
    if (!take_items(list, nullptr)) return std::nullopt;
    const std::size_t end = held_.size();
    for (std::size_t i = taken; i < end; ++i)
      if (!visit(path, 0, held_[i], results)) return std::nullopt;
    path_.pop_back();
    return value(start, results);
  }

  End end() const noexcept { return end_; }

 private:
  // Releases, at the end of a scope, what `held_` took in it.
  struct Taken {
    Runner& runner;
    std::size_t start;
    ~Taken() { runner.release(start); }
  };

  // What the last step of one path evaluation produced: the values themselves go to `out_`.
  struct Results {
    std::size_t count = 0;    // values the last step gave (a filtered step always gives one per item)
    bool whole_list = false;  // the first of them was a list with no predicate
  };

  // The value of one path evaluation, from what it put in `out_` from `start` on.
  Ref value(std::size_t start, const Results& results) {
    const std::size_t n = out_.size() - start;
    // One list read as it is: handed out as a list whatever its length.
    if ((results.count == 1 && results.whole_list) || n > 1) return list(start, n);
    if (n == 0) return Ref();
    Ref one = Ref::steal(out_.back());
    out_.pop_back();
    return one;
  }

  bool give_up() {
    if (end_ != End::Stopped) end_ = End::GiveUp;
    return false;
  }

  // Counts one more item; every 1024 the evaluation polls as the general road does.
  bool tick() {
    if (++visited_ > kMostItems) return give_up();
    if ((visited_ & 1023) != 0) return true;
    if (!watch_.poll()) return true;
    end_ = End::Stopped;
    return false;
  }

  // A container on the way from the input to this point is read by the general road as a failure.
  bool on_path(PyObject* container) const noexcept {
    return std::find(path_.begin(), path_.end(), container) != path_.end();
  }

  Ref list(std::size_t start, std::size_t n) {
    PyObject* made = PyList_New(static_cast<Py_ssize_t>(n));
    if (!made) throw std::bad_alloc();
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(made, static_cast<Py_ssize_t>(i), out_[start + i]);
    out_.resize(start);
    return Ref::steal(made);
  }

  // Charges the result's size as the general road measures it (its compact JSON text), from above.
  bool charge(std::size_t bytes) {
    size_ += bytes;
    return size_ <= kMostSize || give_up();
  }

  // Puts one scalar of the input into the result as the general road converts it.
  bool put(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyObject* value = object;
    if (type == &PyUnicode_Type) {
      if (!PyUnicode_IS_ASCII(object) && has_surrogate(object)) return give_up();
      if (!charge(static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)) * 4 + 2)) return false;
      Py_INCREF(value);
    } else if (type == &PyFloat_Type) {
      const double x = PyFloat_AS_DOUBLE(object);
      // Not finite: read as null.
      if (!std::isfinite(x)) {
        value = Py_NewRef(Py_None);
      } else if (integral(x)) {
        value = convert::number(x).release();
      } else {
        Py_INCREF(value);
      }
    } else if (type == &PyLong_Type) {
      int overflow = 0;
      const long long n = PyLong_AsLongLongAndOverflow(object, &overflow);
      if (overflow) return give_up();
      constexpr long long kExact = 1LL << 53;
      if (n >= -kExact && n <= kExact) {
        Py_INCREF(value);
      } else {
        value = convert::number(static_cast<double>(n)).release();
      }
    } else if (object == Py_None || type == &PyBool_Type) {
      Py_INCREF(value);
    } else {
      return give_up();
    }
    out_.push_back(value);
    return charge(32);
  }

  // Whether a dict item is kept by a comparison of one of its fields; none when the general road would
  // judge it otherwise (other types, errors).
  std::optional<bool> kept(const Stage& stage, PyObject* item) {
    Ref field;
    if (!member(item, stage.field.get(), field)) return std::nullopt;
    if (!field) return false;
    PyObject* const found = field.get();
    PyTypeObject* type = Py_TYPE(found);
    if (stage.text) {
      if (type != &PyUnicode_Type) return std::nullopt;
      if (stage.op == Op::Eq || stage.op == Op::Ne) {
        if (!PyUnicode_IS_ASCII(found) && has_surrogate(found)) return std::nullopt;
        const bool same = PyUnicode_Compare(found, stage.text.get()) == 0;
        return stage.op == Op::Eq ? same : !same;
      }
      // Code point order is the order of UTF-16 code units while both stay in the first plane.
      if (stage.wide || PyUnicode_KIND(found) == PyUnicode_4BYTE_KIND || has_surrogate(found))
        return std::nullopt;
      return compare(stage.op, PyUnicode_Compare(found, stage.text.get()), 0);
    }
    double x = 0;
    if (type == &PyFloat_Type) {
      x = PyFloat_AS_DOUBLE(found);
      if (!std::isfinite(x)) return std::nullopt;
    } else if (type == &PyLong_Type) {
      int overflow = 0;
      const long long n = PyLong_AsLongLongAndOverflow(found, &overflow);
      if (overflow) return std::nullopt;
      x = static_cast<double>(n);
    } else {
      return std::nullopt;
    }
    return compare(stage.op, x, stage.number);
  }

  // Applies a step's predicates to the items it gave for one item: `held_` from `start` on.
  bool filter(std::span<const Stage> stages, std::size_t start) {
    for (const Stage& stage : stages) {
      const std::size_t n = held_.size() - start;
      std::size_t keep = start;
      if (stage.position) {
        const auto p = position(stage.number, n);
        if (p) std::swap(held_[start], held_[start + *p]);
        keep = start + (p ? 1 : 0);
      } else {
        for (std::size_t i = start; i < held_.size(); ++i) {
          PyObject* item = held_[i];
          bool in = false;
          if (Py_TYPE(item) == &PyDict_Type) {
            if (!tick()) return false;
            auto judged = kept(stage, item);
            if (!judged) return give_up();
            in = *judged;
          }
          if (in) std::swap(held_[keep++], held_[i]);
        }
      }
      release(keep);
    }
    return true;
  }

  // Releases what `held_` holds from `start` on: the last first, each after it left the list, as releasing
  // one can run code.
  void release(std::size_t start) noexcept {
    while (held_.size() > start) {
      PyObject* last = held_.back();
      held_.pop_back();
      Py_DECREF(last);
    }
  }

  // Takes the items of a list the general road reads whole (each checked), with references of their own;
  // with a position to pick, only the item there.
  bool take_items(PyObject* list, const Stage* pick) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyList_GET_ITEM(list, i);
      const Kind kind = kind_of(item);
      if (kind == Kind::Other || kind == Kind::List) return give_up();
      if (kind == Kind::Dict && on_path(item)) return give_up();
      if (!pick) held_.push_back(Py_NewRef(item));
    }
    if (!pick) return true;
    if (const auto p = position(pick->number, static_cast<std::size_t>(n)))
      held_.push_back(Py_NewRef(PyList_GET_ITEM(list, static_cast<Py_ssize_t>(*p))));
    return true;
  }

  // A member of a dict: false when the look-up failed (a key's __eq__ raised), having ended the run.
  bool member(PyObject* dict, PyObject* name, Ref& found) {
    PyObject* got = nullptr;
    const int outcome = compat::dict_get_ref(dict, name, &got);
    if (outcome >= 0) {
      found = Ref::steal(got);
      return true;
    }
    // What is not an error (Ctrl-C in that __eq__) stops the evaluation, as it would the general road.
    if (convert::stopping()) {
      watch_.stop(Ref::steal(compat::fetch_exception()));
      end_ = End::Stopped;
      return false;
    }
    PyErr_Clear();
    return give_up();
  }

  // The end of a path's steps for one item: the constructor's object, or the item as a value.
  bool finish(const Path& path, PyObject* item) {
    if (!path.constructs) return kind_of(item) == Kind::Dict ? give_up() : put(item);
    Ref object = convert::made(PyDict_New());
    // Over anything but a dict every field is undefined: the object is empty.
    if (Py_TYPE(item) == &PyDict_Type) {
      for (const Pair& pair : path.pairs) {
        auto value = evaluate(*pair.value, item);
        if (!value) return false;
        if (!*value) continue;
        if (!charge(static_cast<std::size_t>(PyUnicode_GET_LENGTH(pair.key.get())) * 4 + 4)) return false;
        if (PyDict_SetItem(object.get(), pair.key.get(), value->get()) < 0) throw std::bad_alloc();
      }
    }
    out_.push_back(object.release());
    return charge(2);
  }

  // Steps `s` onward of a path over one item (a dict or a scalar, never a list).
  bool visit(const Path& path, std::size_t s, PyObject* item, Results& results) {
    if (s == path.steps.size()) return finish(path, item);
    // A field of anything but a dict is undefined.
    if (Py_TYPE(item) != &PyDict_Type) return true;
    if (!tick()) return false;
    const Step& step = path.steps[s];
    // Whether the values found are the path's values (which are then scalars or lists of them).
    const bool ends = s + 1 == path.steps.size() && !path.constructs;
    Ref value;
    if (!member(item, step.name.get(), value)) return false;
    if (ends && (value || !step.stages.empty())) ++results.count;
    if (!value && step.stages.empty()) return true;
    PyObject* const found = value.get();
    const Kind kind = found ? kind_of(found) : Kind::Scalar;
    if (kind == Kind::Other) return give_up();
    if (kind == Kind::Scalar && step.stages.empty())
      return ends ? put(found) : visit(path, s + 1, found, results);
    path_.push_back(item);
    struct Pop {
      std::vector<PyObject*>& path;
      ~Pop() { path.pop_back(); }
    } pop{path_};
    // A container met again on the way down from the input fails the general road's read.
    if (kind != Kind::Scalar && on_path(found)) return give_up();
    if (kind == Kind::Dict && step.stages.empty()) return visit(path, s + 1, found, results);
    if (kind == Kind::List && step.stages.empty()) return each(path, s, found, results);
    const std::size_t start = held_.size();
    const Taken release{*this, start};
    std::span<const Stage> stages(step.stages);
    if (kind == Kind::List) {
      // A first predicate that picks a position takes only the item there (no Python code runs meanwhile).
      const Stage* pick = stages.front().position ? &stages.front() : nullptr;
      path_.push_back(found);
      const bool taken = take_items(found, pick);
      path_.pop_back();
      if (!taken) return false;
      if (pick) stages = stages.subspan(1);
    } else if (found) {
      held_.push_back(value.release());
    }
    if (!filter(stages, start)) return false;
    if (kind == Kind::List) path_.push_back(found);
    const std::size_t end = held_.size();
    for (std::size_t i = start; i < end; ++i)
      if (!visit(path, s + 1, held_[i], results)) return false;
    if (kind == Kind::List) path_.pop_back();
    return true;
  }

  // The items of a list step `s` found (with no predicate), each taken on to the next step. The items are
  // taken first, each with a reference of its own, as the general road takes them: looking a field up can run
  // code (a key's __eq__, another thread's turn) that changes the list.
  bool each(const Path& path, std::size_t s, PyObject* list, Results& results) {
    const bool ends = s + 1 == path.steps.size() && !path.constructs;
    // One list as the path's only value is handed out as a list, whatever its length.
    if (ends && results.count == 1) results.whole_list = true;
    const std::size_t start = held_.size();
    const Taken release{*this, start};
    path_.push_back(list);
    if (!take_items(list, nullptr)) return false;
    const std::size_t end = held_.size();
    for (std::size_t i = start; i < end; ++i) {
      PyObject* item = held_[i];
      if (Py_TYPE(item) == &PyDict_Type) {
        if (!visit(path, s + 1, item, results)) return false;
        continue;
      }
      if (!tick()) return false;
      if (ends ? !put(item) : !visit(path, s + 1, item, results)) return false;
    }
    path_.pop_back();
    return true;
  }

  // Beyond these the general road may refuse the result (its item and size limits): it is left to decide.
  static constexpr std::size_t kMostItems = 1u << 23;
  static constexpr std::size_t kMostSize = std::size_t{1} << 27;

  watch::Watch& watch_;
  std::vector<PyObject*> out_;   // the values made so far, each a new reference
  std::vector<PyObject*> held_;  // the items of steps with predicates, each a new reference
  std::vector<PyObject*> path_;  // the containers from the input to the current item, held by the callers
  std::size_t visited_ = 0;
  std::size_t size_ = 0;
  End end_ = End::GiveUp;
};

// Whether the plan is disabled for tests, to compare its results with the general road's.
bool disabled() {
  const char* value = std::getenv("ZARNU_DIRECT");
  return value && value[0] == '0';
}

}  // namespace

std::unique_ptr<const Plan> compile(const zarnu_core::ast::Ast& ast) {
#ifdef Py_GIL_DISABLED
  // Lists are read item by item without their critical sections: only where the interpreter lock guards them.
  return nullptr;
#else
  auto path = compile_path(ast.root, true);
  if (!path || disabled() || !name_path(*path)) return nullptr;
  auto plan = std::make_unique<Plan>();
  plan->path = std::move(*path);
  const auto& first = plan->path.steps.front().stages;
  plan->rows = std::none_of(first.begin(), first.end(), [](const Stage& stage) { return stage.position; });
  return plan;
#endif
}

std::optional<PyObject*> run(const Plan& plan, std::span<PyObject* const> arguments) {
  PyObject* input = arguments[0];
  const bool rows = input && Py_TYPE(input) == &PyList_Type;
  if (!input || (Py_TYPE(input) != &PyDict_Type && !(rows && plan.rows))) return std::nullopt;
  // Bindings and options (limits, time) are the general road's.
  for (std::size_t i = 1; i < arguments.size(); ++i)
    if (arguments[i]) return std::nullopt;
  watch::Watch watch(true);
  Ref result;
  {
    Runner runner(watch);
    auto value = rows ? runner.evaluate_rows(plan.path, input) : runner.evaluate(plan.path, input);
    if (!value) {
      if (runner.end() == End::Stopped && watch.raise()) return nullptr;
      return std::nullopt;
    }
    result = std::move(*value);
  }
  return result ? result.release() : Py_NewRef(Py_None);
}

}  // namespace zarnu_py::direct
