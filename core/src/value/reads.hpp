// What an expression reads of its input and of its bindings: the read tree of one value, the answer for a
// whole expression, their JSON form and union. The cut parse of JSON text uses a read to skip the fields
// an expression never reads; reads/reads_analysis.hpp computes the answer.
#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "value/error.hpp"

namespace zarnu_core::reads {

// The deepest a read may nest field names: the analysis never records longer paths, and the JSON form
// accepts one more level only when it is `true`.
inline constexpr std::size_t kMaxPath = 100;

class Read {
 public:
  // The whole value.
  static Read all() { return Read(true); }
  // The value is looked at; nothing inside it is read until fields are added.
  static Read fields() { return Read(false); }

  bool is_all() const noexcept { return all_; }
  std::size_t field_count() const noexcept { return fields_.size(); }
  // The fields in byte-wise order of their names.
  const std::vector<std::pair<std::string, Read>>& entries() const noexcept { return fields_; }

  // The read of a field, or null when the field is not read (or the read is All).
  const Read* field(std::string_view name) const noexcept;
  // The read of a field, added (as an empty Fields read) when missing. Not for an All read.
  Read& at(std::string_view name);

  // Makes this read the whole value, dropping its fields.
  void make_all() noexcept {
    all_ = true;
    fields_.clear();
  }
  // Turns this read into what either read reads: an All absorbs the other side.
  void unite(const Read& other);

  // `true` for All, else an object of the fields' forms.
  json::Json to_json() const;
  // Reads the JSON form back; `depth` counts the objects around the value (0 at the top). The error is
  // the message text.
  static std::expected<Read, std::string> from_json(const json::Json& value, std::size_t depth = 0);

  friend bool operator==(const Read&, const Read&) = default;

 private:
  explicit Read(bool all) : all_(all) {}
  bool all_;
  std::vector<std::pair<std::string, Read>> fields_;  // sorted by name, unique
};

// Where a value may come from: the input (no root) or a binding, and the field names walked from there.
struct Place {
  std::optional<std::string> root;
  std::vector<std::string> path;

  friend bool operator==(const Place&, const Place&) = default;
};

// The answer for one expression.
struct Reads {
  std::optional<Read> input;                          // absent when the input is never read
  std::map<std::string, Read, std::less<>> bindings;  // only the bindings read
  bool every_binding = false;                         // any binding may be read whole ($eval)

  // {"input": ..., "bindings": {...}, "everyBinding": true}, "input" and "everyBinding" only when set.
  json::Json serialize() const;
  // Reads the JSON form back, also as an array [input, bindings, everyBinding] of at most three values;
  // missing members take their defaults. The error is the message text.
  static std::expected<Reads, std::string> from_json(const json::Json& value);
  // Adds what another answer reads.
  void unite(const Reads& other);

  friend bool operator==(const Reads&, const Reads&) = default;
};

}  // namespace zarnu_core::reads
