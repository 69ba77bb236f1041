// The class zarnu.Document: a JSON document converted once and shared between threads, each of which
// makes its own copy in the core's value model at its first use and keeps it while the document lives.
#pragma once

#include "compat.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "pyutil.hpp"
#include "value/document.hpp"  // the core's: Document, ParseError
#include "value/json.hpp"
#include "value/reads.hpp"
#include "value/value.hpp"

namespace zarnu_py::document_object {

// JSON text, and the read that says which of its fields to build (the others are checked as syntax only).
struct Text {
  std::string text;
  std::optional<zarnu_core::reads::Read> read;
};

// What a Document holds: JSON converted from a Python object, or JSON text. Never changed once made, so
// any thread may read it.
using Source = std::variant<zarnu_core::json::Json, Text>;

// One slot per string value of a document, numbered in the order a conversion of its source meets them
// (the same in every thread), each for the str that every thread hands out for that string. Owned by the
// Document, which holds a reference to each str stored; grown only while the document is being made.
class Slots {
 public:
  Slots() = default;
  Slots(const Slots&) = delete;
  Slots& operator=(const Slots&) = delete;
  ~Slots();

  // Makes room for `count` slots, all empty.
  void reserve(std::size_t count);
  std::size_t size() const noexcept { return size_; }
  // The k-th slot; nullptr past the last.
  std::atomic<PyObject*>* at(std::size_t k) const noexcept;

 private:
  // Chunk i holds kFirst << i slots: no slot ever moves, and at most half the room is spare.
  static constexpr std::size_t kFirst = 64;
  static std::size_t chunk_of(std::size_t k) noexcept;
  std::vector<std::unique_ptr<std::atomic<PyObject*>[]>> chunks_;
  std::size_t size_ = 0;
};

// The class, borrowed; made once per process. Nullptr with an exception set when it cannot be made.
PyObject* type();

// The source of a Document (or of an instance of a subclass), and its strings' slots.
const std::shared_ptr<const Source>& source_of(PyObject* document);
const Slots& slots_of(PyObject* document);

// This thread's copy of a source, made at the thread's first use, its strings hosted by their slots; a JSON
// syntax error for text that is not valid JSON, or the error of `poll` (asked while a text is parsed) when
// it stopped the parse. Never calls into Python itself, so it runs detached.
zarnu_core::document::Parsed<zarnu_core::value::Value> converted(const std::shared_ptr<const Source>& source,
                                                                 const Slots& slots,
                                                                 const zarnu_core::PollHook* poll = nullptr);

namespace detail {
// How many documents have died, and how many had when this thread last dropped its copies of dead ones.
extern std::atomic<std::uint64_t> g_deaths;
[[gnu::tls_model("initial-exec")]] extern constinit thread_local std::uint64_t t_dropped;
void drop_dead_copies_now() noexcept;
}  // namespace detail

// Drops this thread's copies of the documents that died since it last looked, so that a thread that
// converts nothing more still lets them go at its next evaluation. A load and a compare when none died.
inline void drop_dead_copies() noexcept {
  if (detail::g_deaths.load(std::memory_order_acquire) != detail::t_dropped) [[unlikely]]
    detail::drop_dead_copies_now();
}

// The slot of a string that a copy of a document made; nullptr for any other string.
std::atomic<PyObject*>* slot_of(const zarnu_core::value::HostText* host) noexcept;

// The str a document string is handed out as: the one its slot holds, or `made`, stored in the slot when
// it is still empty (another thread may have stored its own meanwhile: then that one). Attached.
pyutil::Ref share(std::atomic<PyObject*>& slot, pyutil::Ref made);

// The wording of a JSON syntax error: the reason, with its line and column when it has them.
std::string parse_error_text(const zarnu_core::document::ParseError& error);

}  // namespace zarnu_py::document_object
