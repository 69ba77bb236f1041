// Start predicates: what every match must begin with (a byte prefix, one of a few first bytes, a set of
// first bytes) or that it can begin only at the start of the input, derived from the optimised tree, and
// the search for the next candidate position under each kind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "bytesearch.hpp"
#include "codepointset.hpp"
#include "ir.hpp"

namespace zarnu_regex::startpredicate {

// What the tree says about the first bytes of a match.
struct AbstractStartPredicate {
  enum class Kind : std::uint8_t { Arbitrary, Sequence, Set } kind = Kind::Arbitrary;
  std::vector<std::uint8_t> sequence;
  std::unique_ptr<bytesearch::ByteBitmap> set;

  static AbstractStartPredicate arbitrary() { return {}; }
};

bool is_start_anchored(const ir::Node& node);
// Absent when the node consumes nothing and decides nothing.
std::optional<AbstractStartPredicate> compute_start_predicate(const ir::Node& node);
bytesearch::ByteBitmap cps_to_first_byte_bitmap(std::span<const codepointset::Interval> intervals);

// The predicate stored in a compiled program.
class StartPredicate {
 public:
  enum class Kind : std::uint8_t {
    Arbitrary,
    FirstByte,
    FirstByte2,
    FirstByte3,
    Prefix,
    FirstByteBitmap,
    StartAnchored
  };

  StartPredicate() = default;
  // The predicate of an optimised tree compiled with the given multiline flag.
  static StartPredicate for_tree(const ir::Node& root, bool multiline);

  Kind kind() const noexcept { return kind_; }
  std::span<const std::uint8_t> bytes() const noexcept;
  const bytesearch::ByteBitmap& bitmap() const noexcept { return bitmap_; }

  // The next candidate at or after `pos` (a character start), or nothing.
  std::optional<std::size_t> find(const std::uint8_t* text, std::size_t len, std::size_t pos) const noexcept;

 private:
  Kind kind_ = Kind::Arbitrary;
  std::uint8_t first_[3] = {};
  std::shared_ptr<const bytesearch::PrefixSearcher> prefix_;
  bytesearch::ByteBitmap bitmap_;
};

}  // namespace zarnu_regex::startpredicate
