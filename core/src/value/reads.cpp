// The read tree, its JSON form (written for callers, read back from them) and the union of two answers.
#include "value/reads.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "support/stack.hpp"
#include "value/json.hpp"

namespace zarnu_core::reads {

using json::Json;

namespace {

template <class V>
auto lower(V& fields, std::string_view name) {
  return std::lower_bound(fields.begin(), fields.end(), name, [](const auto& entry, std::string_view key) {
    return std::string_view(entry.first) < key;
  });
}

constexpr std::string_view kExpectRead = "true, or an object of the fields read";
constexpr std::string_view kExpectReads = "struct Reads";

// How a JSON value that has the wrong kind is named in an error.
std::string found(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return std::string("boolean `") + (v.get<bool>() ? "true" : "false") + "`";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "integer `" + json::to_text(v) + "`";
    case Json::value_t::number_float:
      return "floating point `" + json::to_text(v) + "`";
    case Json::value_t::string:
      return "string " + json::to_text(v);
    case Json::value_t::array:
    case Json::value_t::binary:
      return "sequence";
    default:
      return "map";
  }
}

std::string invalid_type(const Json& v, std::string_view expected) {
  return "invalid type: " + found(v) + ", expected " + std::string(expected);
}

void unite_at(Read& self, const Read& other, std::size_t depth);

}  // namespace

const Read* Read::field(std::string_view name) const noexcept {
  auto it = lower(fields_, name);
  return it != fields_.end() && it->first == name ? &it->second : nullptr;
}

Read& Read::at(std::string_view name) {
  auto it = lower(fields_, name);
  if (it == fields_.end() || it->first != name) it = fields_.emplace(it, std::string(name), Read::fields());
  return it->second;
}

namespace {

void unite_at(Read& self, const Read& other, std::size_t depth) {
  if (self.is_all()) return;
  if (other.is_all()) {
    self.make_all();
    return;
  }
  for (const auto& [name, sub] : other.entries()) {
    if (self.field(name)) {
      Read& mine = self.at(name);
      stack::nest(depth + 1, [&] { unite_at(mine, sub, depth + 1); });
    } else {
      self.at(name) = sub;
    }
  }
}

Json to_json_at(const Read& read, std::size_t depth) {
  if (read.is_all()) return Json(true);
  Json out = Json::object();
  // The names are unique already: append rather than search.
  auto& members = out.get_ref<Json::object_t&>();
  members.reserve(read.field_count());
  for (const auto& [name, sub] : read.entries())
    members.emplace_back(name, stack::nest(depth + 1, [&] { return to_json_at(sub, depth + 1); }));
  return out;
}

}  // namespace

void Read::unite(const Read& other) {
  unite_at(*this, other, 0);
}

Json Read::to_json() const {
  return to_json_at(*this, 0);
}

std::expected<Read, std::string> Read::from_json(const Json& value, std::size_t depth) {
  if (value.is_boolean()) {
    if (value.get<bool>()) return Read::all();
    return std::unexpected("invalid value: boolean `false`, expected " + std::string(kExpectRead));
  }
  if (!value.is_object()) return std::unexpected(invalid_type(value, kExpectRead));
  if (depth > kMaxPath)
    return std::unexpected("a read nests more than " + std::to_string(kMaxPath) + " field names");
  Read out = Read::fields();
  out.fields_.reserve(value.size());
  for (auto it = value.begin(); it != value.end(); ++it) {
    auto sub = stack::nest(depth + 1, [&] { return from_json(it.value(), depth + 1); });
    if (!sub) return sub;
    out.fields_.emplace_back(it.key(), std::move(*sub));
  }
  std::ranges::stable_sort(out.fields_, {},
                           [](const auto& entry) -> std::string_view { return entry.first; });
  // A value built member by member may repeat a name: what either member reads is read.
  auto& f = out.fields_;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (kept > 0 && f[kept - 1].first == f[i].first)
      f[kept - 1].second.unite(f[i].second);
    else if (kept++ != i)
      f[kept - 1] = std::move(f[i]);
  }
  f.erase(f.begin() + static_cast<std::ptrdiff_t>(kept), f.end());
  return out;
}

Json Reads::serialize() const {
  Json out = Json::object();
  if (input) out.emplace("input", input->to_json());
  Json named = Json::object();
  for (const auto& [name, read] : bindings)
    named.get_ref<Json::object_t&>().emplace_back(name, read.to_json());
  out.emplace("bindings", std::move(named));
  if (every_binding) out.emplace("everyBinding", true);
  return out;
}

namespace {

std::expected<void, std::string> read_input(const Json& v, Reads& out) {
  if (v.is_null()) return {};
  auto r = Read::from_json(v);
  if (!r) return std::unexpected(std::move(r).error());
  out.input = std::move(*r);
  return {};
}

std::expected<void, std::string> read_bindings(const Json& v, Reads& out) {
  if (!v.is_object()) return std::unexpected(invalid_type(v, "a map"));
  for (auto it = v.begin(); it != v.end(); ++it) {
    auto r = Read::from_json(it.value());
    if (!r) return std::unexpected(std::move(r).error());
    out.bindings.insert_or_assign(it.key(), std::move(*r));
  }
  return {};
}

std::expected<void, std::string> read_every(const Json& v, Reads& out) {
  if (!v.is_boolean()) return std::unexpected(invalid_type(v, "a boolean"));
  out.every_binding = v.get<bool>();
  return {};
}

}  // namespace

std::expected<Reads, std::string> Reads::from_json(const Json& value) {
  Reads out;
  if (value.is_array()) {
    if (value.size() > 3)
      return std::unexpected("invalid length " + std::to_string(value.size()) +
                             ", expected fewer elements in array");
    std::expected<void, std::string> ok;
    if (value.size() > 0) ok = read_input(value[0], out);
    if (ok && value.size() > 1) ok = read_bindings(value[1], out);
    if (ok && value.size() > 2) ok = read_every(value[2], out);
    if (!ok) return std::unexpected(std::move(ok).error());
    return out;
  }
  if (!value.is_object()) return std::unexpected(invalid_type(value, kExpectReads));
  for (auto it = value.begin(); it != value.end(); ++it) {
    const std::string& key = it.key();
    std::expected<void, std::string> ok;
    if (key == "input") {
      ok = read_input(it.value(), out);
    } else if (key == "bindings") {
      ok = read_bindings(it.value(), out);
    } else if (key == "everyBinding") {
      ok = read_every(it.value(), out);
    } else {
      ok =
          std::unexpected("unknown field `" + key + "`, expected one of `input`, `bindings`, `everyBinding`");
    }
    if (!ok) return std::unexpected(std::move(ok).error());
  }
  return out;
}

void Reads::unite(const Reads& other) {
  if (other.input) {
    if (input)
      input->unite(*other.input);
    else
      input = *other.input;
  }
  for (const auto& [name, read] : other.bindings) {
    auto it = bindings.find(name);
    if (it != bindings.end())
      it->second.unite(read);
    else
      bindings.emplace(name, read);
  }
  every_binding = every_binding || other.every_binding;
}

}  // namespace zarnu_core::reads
