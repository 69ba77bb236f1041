// Case mappings over the packed delta tables, case variants, the case-insensitive closure of sets, and
// property lookup.
#include "unicode.hpp"

#include <algorithm>

#include "util.hpp"

namespace zarnu_regex::unicode {

namespace {

using unicodetables::DeltaEntry;

// The entry that decides a code point: the last one starting at or below it.
const DeltaEntry* entry_for(std::span<const DeltaEntry> table, char32_t c) noexcept {
  auto it = std::upper_bound(table.begin(), table.end(), static_cast<std::uint32_t>(c),
                             [](std::uint32_t v, const DeltaEntry& e) { return v < e.first(); });
  if (it == table.begin()) return nullptr;
  return &*(it - 1);
}

char32_t apply(const DeltaEntry& e, char32_t c) noexcept {
  return static_cast<char32_t>(static_cast<std::int64_t>(c) + e.delta());
}

char32_t map(std::span<const DeltaEntry> table, char32_t c) noexcept {
  const DeltaEntry* e = entry_for(table, c);
  if (!e || c > e->last() || ((c - e->first()) & e->mask()) != 0) return c;
  return apply(*e, c);
}

void push_unique(Expansion& x, char32_t c) {
  for (std::size_t i = 0; i < x.size; ++i)
    if (x.cps[i] == c) return;
  if (x.size == 4) util::panic("Unicode case fold exceeded maximum expansion");
  x.cps[x.size++] = c;
}

}  // namespace

char32_t fold(char32_t c) noexcept {
  return map(unicodetables::FOLDS, c);
}

char32_t uppercase(char32_t c) noexcept {
  return map(unicodetables::UPPERCASES, c);
}

Expansion expand_code_point(char32_t c, bool icase, bool unicode) {
  Expansion x;
  x.cps[x.size++] = c;
  if (!icase) return x;
  const auto table = unicode ? unicodetables::FOLDS : unicodetables::UPPERCASES;
  const char32_t target = map(table, c);
  push_unique(x, target);
  for (const DeltaEntry& e : table) {
    const std::int64_t lo = std::int64_t{e.first()} + e.delta(), hi = std::int64_t{e.last()} + e.delta();
    if (target < lo || target > hi) continue;
    for (std::uint32_t k = e.first(); k <= e.last(); ++k)
      if (((k - e.first()) & e.mask()) == 0 && apply(e, k) == target) push_unique(x, k);
  }
  // At most four members: an insertion sort.
  for (std::size_t i = 1; i < x.size; ++i)
    for (std::size_t j = i; j > 0 && x.cps[j - 1] > x.cps[j]; --j) std::swap(x.cps[j - 1], x.cps[j]);
  return x;
}

CodePointSet add_icase_code_points(CodePointSet set) {
  const auto table = unicodetables::FOLDS;
  CodePointSet result = set;
  // Forward: the foldings of the members.
  for (const Interval& iv : set.intervals()) {
    auto first = std::partition_point(table.begin(), table.end(),
                                      [&](const DeltaEntry& e) { return e.last() < iv.first; });
    auto end =
        std::partition_point(first, table.end(), [&](const DeltaEntry& e) { return e.first() <= iv.last; });
    for (auto it = first; it != end; ++it) {
      const std::uint32_t lo = std::max(it->first(), iv.first), hi = std::min(it->last(), iv.last);
      for (std::uint32_t c = lo; c <= hi; ++c)
        if (((c - it->first()) & it->mask()) == 0) result.add_one(apply(*it, c));
    }
  }
  // Backward: every code point that folds into the set as it now stands.
  const std::vector<Interval> snapshot(result.intervals().begin(), result.intervals().end());
  for (const Interval& iv : snapshot) {
    for (const DeltaEntry& e : table) {
      const std::int64_t lo = std::int64_t{e.first()} + e.delta(), hi = std::int64_t{e.last()} + e.delta();
      if (hi < iv.first || lo > iv.last) continue;
      for (std::uint32_t c = e.first(); c <= e.last(); ++c) {
        if (((c - e.first()) & e.mask()) != 0) continue;
        const char32_t image = apply(e, c);
        if (image >= iv.first && image <= iv.last) result.add_one(c);
      }
    }
  }
  return result;
}

std::optional<PropertyResult> unicode_property_from_str(std::string_view name, PropertyKind kind,
                                                        bool unicode_sets) {
  switch (kind) {
    case PropertyKind::GeneralCategory:
      if (auto gc = unicodetables::unicode_property_value_general_category_from_str(name))
        return PropertyResult(unicodetables::general_category_table(*gc));
      return std::nullopt;
    case PropertyKind::Script:
      if (auto sc = unicodetables::unicode_property_value_script_from_str(name))
        return PropertyResult(unicodetables::script_table(*sc));
      return std::nullopt;
    case PropertyKind::ScriptExtensions:
      if (auto sc = unicodetables::unicode_property_value_script_from_str(name))
        return PropertyResult(unicodetables::script_extensions_table(*sc));
      return std::nullopt;
    case PropertyKind::None:
      break;
  }
  if (auto table = unicodetables::binary_property_from_str(name)) return PropertyResult(*table);
  if (unicode_sets)
    if (auto strings = unicodetables::string_property_from_str(name)) return PropertyResult(*strings);
  if (auto gc = unicodetables::unicode_property_value_general_category_from_str(name))
    return PropertyResult(unicodetables::general_category_table(*gc));
  return std::nullopt;
}

namespace {
bool in_table(std::span<const Interval> table, char32_t c) noexcept {
  auto it = std::upper_bound(table.begin(), table.end(), static_cast<std::uint32_t>(c),
                             [](std::uint32_t v, const Interval& x) { return v < x.first; });
  return it != table.begin() && c <= (it - 1)->last;
}
}  // namespace

// The tables are found by name at each call (group names are short), not kept in statics made under a
// guard at first use, which a fork could leave taken.
bool is_id_start(char32_t c) noexcept {
  return in_table(*unicodetables::binary_property_from_str("ID_Start"), c);
}

bool is_id_continue(char32_t c) noexcept {
  return in_table(*unicodetables::binary_property_from_str("ID_Continue"), c);
}

}  // namespace zarnu_regex::unicode
