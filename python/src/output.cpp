// The Python result builder and the flat form of a result. Making an object fails only when memory runs
// out, which becomes MemoryError; the other failures (a dict refusing an item) are kept and raised once the
// walk is over.
#include "output.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <utility>

#include "convert.hpp"
#include "document_object.hpp"
#include "headroom.hpp"
#include "source.hpp"
#include "support/utf.hpp"

namespace zarnu_py::output {

using pyutil::Ref;

PyBuilder::PyBuilder() : more_keys_(0, KeyHash{zarnu_core::hash::map_seed()}) {}

Ref PyBuilder::null() {
  return Ref::borrow(Py_None);
}

Ref PyBuilder::boolean(bool b) {
  return Ref::borrow(b ? Py_True : Py_False);
}

Ref PyBuilder::number(double x) {
  return convert::number(x);
}

Ref PyBuilder::string(std::string_view s) {
  return convert::string(s);
}

Ref PyBuilder::string(std::string_view s, const zarnu_core::value::HostText* host) {
  if (PyObject* str = source::hosted_str(host)) return Ref::borrow(str);
  return convert::string(s);
}

// Making a list or a dict can run the garbage collector (3.11 collects at once), and with it finalizers:
// Python code, which gets its stack room through headroom::call. Strings and numbers are not collected.
Ref PyBuilder::end_array(std::vector<Ref> items) {
  return list(items);
}

Ref PyBuilder::list(std::span<Ref> items) {
  return headroom::call([&] {
    Ref list = convert::made(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return list;
  });
}

Ref PyBuilder::object(std::size_t) {
  return headroom::call([] { return convert::made(PyDict_New()); });
}

PyObject* PyBuilder::key(std::string_view text) {
  for (const auto& [known, string] : first_keys_)
    if (known == text) return string.get();
  if (first_keys_.size() < kScanned) {
    first_keys_.emplace_back(std::string(text), convert::string(text));
    return first_keys_.back().second.get();
  }
  auto found = more_keys_.find(text);
  if (found == more_keys_.end()) found = more_keys_.emplace(std::string(text), convert::string(text)).first;
  return found->second.get();
}

void PyBuilder::insert(Ref& object, std::string_view key_text, Ref value) {
  if (PyDict_SetItem(object.get(), key(key_text), value.get()) < 0) {
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyErr_Clear();
      throw std::bad_alloc();
    }
    keep_error();
  }
}

void PyBuilder::keep_error() {
  Ref error = Ref::steal(compat::fetch_exception());
  if (!error_) error_ = std::move(error);
}

namespace {

// The most bytes of buffers a thread keeps for its next result.
constexpr std::size_t kKeptBytes = std::size_t{1} << 20;

}  // namespace

// Kept unless a large result made them large. A builder takes them out and gives them back when done, so
// that an evaluation started meanwhile (by a finalizer run while the result is made) finds none and makes
// its own.
thread_local FlatBuilder::Spare FlatBuilder::spare_;

FlatBuilder::FlatBuilder() : pieces_(std::move(spare_.pieces)), text_(std::move(spare_.text)) {
  pieces_.clear();
  text_.clear();
}

FlatBuilder::~FlatBuilder() {
  if (pieces_.capacity() * sizeof(Piece) <= kKeptBytes && text_.capacity() <= kKeptBytes)
    spare_ = {std::move(pieces_), std::move(text_)};
}

std::size_t FlatBuilder::append(std::string_view bytes) {
  const std::size_t offset = text_.size();
  text_.append(bytes);
  return offset;
}

FlatBuilder::Built FlatBuilder::string(std::string_view s) {
  std::size_t ascii = 0;
  while (ascii < s.size() && static_cast<unsigned char>(s[ascii]) < 0x80) ++ascii;
  if (ascii == s.size()) return add({Op::kText, 0x7F, s.size(), {.offset = append(s)}});
  // The widest character sets the str's width; text that is not UTF-8 is left to the decoder's repairs.
  std::size_t count = ascii;
  char32_t widest = 0x7F;
  for (std::size_t pos = ascii; pos < s.size(); ++count) {
    const std::size_t length = zarnu_core::utf::valid_sequence(s, pos, true);
    if (length == 0) return add({Op::kUtf8, 0, s.size(), {.offset = append(s)}});
    std::size_t at = pos;
    widest = std::max(widest, zarnu_core::utf::decode(s, at));
    pos += length;
  }
  const std::uint32_t maxchar = widest < 0x100 ? 0xFF : widest < 0x10000 ? 0xFFFF : 0x10FFFF;
  const std::size_t width = maxchar == 0xFF ? 1 : maxchar == 0xFFFF ? 2 : 4;
  const std::size_t offset = text_.size();
  text_.resize(offset + count * width);
  char* out = text_.data() + offset;
  for (std::size_t pos = 0; pos < s.size(); out += width) {
    const std::uint32_t c = zarnu_core::utf::decode(s, pos);
    if (width == 1) {
      *out = static_cast<char>(c);
    } else if (width == 2) {
      const auto unit = static_cast<std::uint16_t>(c);
      std::memcpy(out, &unit, 2);
    } else {
      std::memcpy(out, &c, 4);
    }
  }
  return add({Op::kText, maxchar, count, {.offset = offset}});
}

FlatBuilder::Built FlatBuilder::string(std::string_view s, const zarnu_core::value::HostText* host) {
  std::atomic<PyObject*>* slot = document_object::slot_of(host);
  if (!slot) return string(s);
  // Read without the interpreter: a str once stored stays until the document goes, and the document
  // outlives the evaluation.
  if (PyObject* stored = slot->load(std::memory_order_acquire))
    return add({Op::kStored, 0, 0, {.stored = stored}});
  const Built text = string(s);
  add({Op::kShare, 0, 0, {.slot = slot}});
  return text;
}

FlatBuilder::Built FlatBuilder::end_array(std::vector<Built> items) {
  const Built array = add({Op::kArray, 0, items.size(), {}});
  return items.empty() ? array : items.front();
}

void FlatBuilder::insert(Built&, std::string_view key, Built) {
  add({Op::kMember, 0, key.size(), {.offset = append(key)}});
}

std::optional<Ref> FlatBuilder::build(Built root, PyBuilder& b, zarnu_core::eval::Poll* poll) const {
  // The values made and not yet placed: the walk wrote every container after its items, every member
  // after its value.
  std::vector<Ref> made;
  for (std::size_t i = root.start; i < pieces_.size(); ++i) {
    if (poll && poll->stop()) return std::nullopt;
    const Piece& piece = pieces_[i];
    switch (piece.op) {
      case Op::kNull:
        made.push_back(b.null());
        break;
      case Op::kTrue:
      case Op::kFalse:
        made.push_back(b.boolean(piece.op == Op::kTrue));
        break;
      case Op::kNumber:
        made.push_back(b.number(piece.number));
        break;
      case Op::kText: {
        Ref text = convert::made(PyUnicode_New(static_cast<Py_ssize_t>(piece.length), piece.maxchar));
        std::memcpy(PyUnicode_DATA(text.get()), text_.data() + piece.offset,
                    piece.length * PyUnicode_KIND(text.get()));
        made.push_back(std::move(text));
        break;
      }
      case Op::kUtf8:
        made.push_back(b.string(std::string_view(text_).substr(piece.offset, piece.length)));
        break;
      case Op::kStored:
        made.push_back(Ref::borrow(piece.stored));
        break;
      case Op::kShare:
        made.back() = document_object::share(*piece.slot, std::move(made.back()));
        break;
      case Op::kArray: {
        Ref list = b.list(std::span(made).last(piece.length));
        made.erase(made.end() - static_cast<std::ptrdiff_t>(piece.length), made.end());
        made.push_back(std::move(list));
        break;
      }
      case Op::kObject:
        made.push_back(b.object(piece.length));
        break;
      case Op::kMember: {
        Ref value = std::move(made.back());
        made.pop_back();
        b.insert(made.back(), std::string_view(text_).substr(piece.offset, piece.length), std::move(value));
        break;
      }
    }
  }
  return std::move(made.back());
}

}  // namespace zarnu_py::output
