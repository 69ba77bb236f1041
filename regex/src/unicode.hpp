// Case mappings for case-insensitive matching (simple case folding and simple uppercase), the case
// variants of a code point, the case-insensitive closure of a set, and property lookup by name.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "codepointset.hpp"
#include "unicodetables.hpp"

namespace zarnu_regex::unicode {

using codepointset::CodePointSet;
using codepointset::Interval;

// Simple case folding (statuses C and S); a code point without one maps to itself.
char32_t fold(char32_t c) noexcept;
// Simple uppercase mapping; a code point without one maps to itself.
char32_t uppercase(char32_t c) noexcept;

// The code points that match `c` (itself included), sorted and without duplicates: under `icase` those
// with the same simple case folding (`unicode`) or the same simple uppercase mapping (otherwise). At most
// four members.
struct Expansion {
  char32_t cps[4] = {};
  std::size_t size = 0;
  std::span<const char32_t> view() const noexcept { return {cps, size}; }
};
Expansion expand_code_point(char32_t c, bool icase, bool unicode);

// The set closed under simple case folding: its members, their foldings, and every code point whose
// folding is a member or a member's folding.
CodePointSet add_icase_code_points(CodePointSet set);

// Which property an escape names before "=": General_Category, Script, Script_Extensions or none.
enum class PropertyKind { None, GeneralCategory, Script, ScriptExtensions };

// The members of a property: an interval table, or the sequences of a property of strings.
using PropertyResult = std::variant<std::span<const Interval>, std::span<const unicodetables::Sequence>>;
std::optional<PropertyResult> unicode_property_from_str(std::string_view name, PropertyKind kind,
                                                        bool unicode_sets);

// The identifier properties of group names.
bool is_id_start(char32_t c) noexcept;
bool is_id_continue(char32_t c) noexcept;

}  // namespace zarnu_regex::unicode
