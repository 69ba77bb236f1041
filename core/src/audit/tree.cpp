// The audit tree: assembled from a finished collector and written as JSON, keys in a fixed order and
// absent parts left out.
#include "audit/tree.hpp"

#include <chrono>
#include <cmath>
#include <utility>

#include "support/stack.hpp"

namespace zarnu_core::audit {

namespace {

using Members = json::Json::object_t;

// An empty object with room for its members. Members are appended (a keyed insert would search them
// first), and room is made up front because the members' vector copies them when it grows (their keys
// are const), which for a deep subtree would be a deep recursive copy.
json::Json object_with(std::size_t members) {
  json::Json out = json::Json::object();
  out.get_ref<json::Json::object_t&>().reserve(members);
  return out;
}

void put(Members& members, std::string_view key, json::Json value) {
  members.emplace_back(std::string(key), std::move(value));
}

// The JSON form of a capture: null for none.
json::Json captured(const value::Value& snapshot) {
  auto out = snapshot_json(snapshot);
  return out ? std::move(*out) : json::Json(nullptr);
}

// A writer of node members into a JSON object.
struct JsonMembers {
  Members& m;

  void operator()(std::string_view key, std::uint64_t n) { put(m, key, n); }
  void operator()(std::string_view key, std::string_view text) { put(m, key, std::string(text)); }
  void operator()(std::string_view key, bool flag) { put(m, key, flag); }
  void operator()(std::string_view key, const ast::Span& span) {
    json::Json out = object_with(2);
    put(out.get_ref<Members&>(), "start", static_cast<std::uint64_t>(span.start));
    put(out.get_ref<Members&>(), "end", static_cast<std::uint64_t>(span.end));
    put(m, key, std::move(out));
  }
  void operator()(std::string_view key, const AuditError& error) { put(m, key, to_json(error)); }
  void operator()(std::string_view key, const std::vector<FilterAudit>& filters) {
    json::Json out = json::Json::array();
    for (const FilterAudit& f : filters) out.push_back(to_json(f));
    put(m, key, std::move(out));
  }
  void operator()(std::string_view key, const value::Value& snapshot) { put(m, key, captured(snapshot)); }
  void operator()(std::string_view key, const Operands& pair) {
    json::Json out = json::Json::array();
    out.push_back(captured(pair.first));
    out.push_back(captured(pair.second));
    put(m, key, std::move(out));
  }
};

json::Json head_of(const AuditNode& node) {
  json::Json out = object_with(18);
  node_members(node, JsonMembers{out.get_ref<Members&>()});
  return out;
}

json::Json node_json(const AuditNode& node, std::size_t depth) {
  json::Json out = head_of(node);
  if (!node.children.empty()) {
    json::Json children = json::Json::array();
    for (const AuditNode& child : node.children)
      children.push_back(stack::nest(depth + 1, [&] { return node_json(child, depth + 1); }));
    put(out.get_ref<Members&>(), "children", std::move(children));
  }
  return out;
}

}  // namespace

json::Json to_json(const AuditError& error) {
  json::Json out = object_with(2);
  auto& m = out.get_ref<Members&>();
  put(m, "code", error.code);
  put(m, "message", error.message);
  return out;
}

json::Json to_json(const FilterAudit& filter) {
  json::Json out = object_with(6);
  auto& m = out.get_ref<Members&>();
  put(m, "node", filter.node);
  put(m, "source", filter.source);
  if (filter.label) put(m, "label", *filter.label);
  put(m, "tested", filter.tested);
  put(m, "passed", filter.passed);
  if (!filter.rejected.empty()) {
    json::Json rejected = json::Json::array();
    for (const value::Value& item : filter.rejected) rejected.push_back(captured(item));
    put(m, "rejected", std::move(rejected));
  }
  return out;
}

std::string fnv1a_hex(std::string_view text) {
  Fnv1a hash;
  hash.update(text);
  return hash.hex();
}

std::string Fnv1a::hex() const {
  std::uint64_t h = h_;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (int i = 15; i >= 0; --i, h >>= 4) out[static_cast<std::size_t>(i)] = kHex[h & 15];
  return out;
}

AuditTree assemble(collector::AuditCollector&& collector, std::string timestamp) {
  AuditTree tree;
  AuditHeader& h = tree.header;
  h.expression_hash = fnv1a_hex(collector.source());
  h.input_hash = collector.input_hash();
  h.timestamp = std::move(timestamp);
  if (const auto& start = collector.start_instant()) {
    const auto elapsed = std::chrono::steady_clock::now() - *start;
    if (elapsed.count() > 0) h.duration_ms = std::chrono::duration<double, std::milli>(elapsed).count();
  }
  h.level = collector.level();
  h.result = collector.take_result();
  h.error = collector.take_error();
  tree.root = collector.take_root();
  tree.node_count = collector.node_count();
  tree.truncated = collector.truncated();
  return tree;
}

json::Json to_json(const AuditNode& node) {
  return node_json(node, 0);
}

json::Json header_json(const AuditHeader& h, bool with_result) {
  json::Json header = object_with(8);
  auto& hm = header.get_ref<Members&>();
  put(hm, "engine", h.engine);
  put(hm, "expressionHash", h.expression_hash);
  put(hm, "inputHash", h.input_hash);
  put(hm, "timestamp", h.timestamp);
  put(hm, "durationMs", std::isfinite(h.duration_ms) ? json::Json(h.duration_ms) : json::Json(nullptr));
  put(hm, "level", std::string(level_name(h.level)));
  if (h.result && with_result) put(hm, "result", json::copy(*h.result));
  if (h.error) put(hm, "error", to_json(*h.error));
  return header;
}

json::Json to_json(const AuditTree& tree) {
  json::Json header = header_json(tree.header, true);
  json::Json out = object_with(4);
  auto& m = out.get_ref<Members&>();
  put(m, "header", std::move(header));
  if (tree.root) put(m, "root", to_json(*tree.root));
  put(m, "nodeCount", tree.node_count);
  put(m, "truncated", tree.truncated);
  return out;
}

}  // namespace zarnu_core::audit
