// The runner of the language cases.
#include "case_runner.hpp"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "eval/expression.hpp"
#include "value/from_json.hpp"

namespace zarnu_test {

using zarnu_core::json::Json;

namespace {

zarnu_core::Options options_of(const Json& c) {
  zarnu_core::Options o;
  if (!c.contains("options")) return o;
  const Json& j = c["options"];
  if (j.contains("max_depth")) o.max_depth = j["max_depth"].get<std::size_t>();
  if (j.contains("max_string_length")) o.max_string_length = j["max_string_length"].get<std::size_t>();
  if (j.contains("max_array_length")) o.max_array_length = j["max_array_length"].get<std::size_t>();
  if (j.contains("max_result_size")) o.max_result_size = j["max_result_size"].get<std::size_t>();
  if (j.contains("timeout_ms")) o.timeout = std::chrono::milliseconds(j["timeout_ms"].get<std::int64_t>());
  if (j.contains("now")) o.now = j["now"].get<std::int64_t>();
  if (j.contains("seed")) o.seed = j["seed"].get<std::uint64_t>();
  if (j.contains("cancelled")) {
    auto flag = std::make_shared<std::atomic<bool>>(j["cancelled"].get<bool>());
    o.cancel = flag;
  }
  return o;
}

}  // namespace

CaseOutcome run_case(const Json& c) {
  const std::string expr = c.at("expr").get<std::string>();
  auto compiled = zarnu_core::Expression::compile(expr);
  zarnu_core::Bindings bindings;
  if (c.contains("bindings"))
    for (auto it = c["bindings"].begin(); it != c["bindings"].end(); ++it)
      bindings.values.insert_or_assign(it.key(), std::make_shared<const Json>(it.value()));
  std::optional<Json> result;
  std::optional<zarnu_core::error::Error> error;
  if (!compiled) {
    error = std::move(compiled).error();
  } else {
    zarnu_core::value::JsonBuilder builder;
    auto input = [&](zarnu_core::value::Sink& sink) -> std::optional<std::string> {
      if (c.contains("input"))
        sink.push(zarnu_core::value::lazy(std::make_shared<const Json>(c["input"]), sink.shared()));
      return std::nullopt;
    };
    auto out = compiled->evaluate_source_to(input, bindings, options_of(c), builder);
    if (out)
      result = std::move(out->second);
    else
      error = std::move(out).error();
  }
  auto describe = [&]() {
    if (error) return "error " + std::string(error->code()) + " (" + error->message() + ")";
    return result ? "result " + zarnu_core::json::to_text(*result) : std::string("undefined");
  };
  CaseOutcome o;
  if (c.contains("error")) {
    if (!error || error->code() != c["error"].get<std::string>()) {
      o.passed = false;
      o.message = "expected error " + c["error"].get<std::string>() + ", got " + describe();
      return o;
    }
    if (c.contains("token")) {
      auto token = error->token();
      if (!token || *token != c["token"].get<std::string>()) {
        o.passed = false;
        o.message = "expected token " + c["token"].dump() + ", got " + (token ? *token : std::string("none"));
      }
    }
    if (c.contains("position") && error->position() != c["position"].get<std::size_t>()) {
      o.passed = false;
      o.message = "expected position " + c["position"].dump() + ", got " +
                  (error->position() ? std::to_string(*error->position()) : std::string("none"));
    }
    if (c.contains("message") && error->message() != c["message"].get<std::string>()) {
      o.passed = false;
      o.message = "expected message " + c["message"].dump() + ", got " + error->message();
    }
    return o;
  }
  if (error) {
    o.passed = false;
    o.message = "unexpected " + describe();
    return o;
  }
  if (c.contains("result")) {
    const std::string want = zarnu_core::json::to_text(c["result"]);
    if (!result || zarnu_core::json::to_text(*result) != want) {
      o.passed = false;
      o.message = "expected " + want + ", got " + describe();
    }
  } else if (result) {
    o.passed = false;
    o.message = "expected undefined, got " + describe();
  }
  return o;
}

std::vector<std::string> case_files() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(ZARNU_CASES_DIR))
    if (entry.path().extension() == ".jsonl") files.push_back(entry.path().filename().string());
  std::sort(files.begin(), files.end());
  return files;
}

class Cases : public ::testing::TestWithParam<std::string> {};

TEST_P(Cases, File) {
  std::ifstream in(std::string(ZARNU_CASES_DIR) + "/" + GetParam());
  std::string line;
  int number = 0, count = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#') continue;
    ++count;
    Json c = Json::parse(line);
    CaseOutcome o = run_case(c);
    if (!o.passed)
      ADD_FAILURE() << GetParam() << ":" << number << ": " << c["expr"].get<std::string>() << ": "
                    << o.message;
  }
  EXPECT_GT(count, 0);
}

INSTANTIATE_TEST_SUITE_P(Language, Cases, ::testing::ValuesIn(case_files()), [](const auto& info) {
  std::string name = info.param.substr(0, info.param.size() - 6);
  for (char& ch : name)
    if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
});

}  // namespace zarnu_test
