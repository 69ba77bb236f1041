// Errors of the language: the record behind Error, the rendering of message templates and the table of
// every code with its template.
#include "value/error.hpp"
#include "support/once.hpp"

#include <array>
#include <charconv>
#include <cmath>

#include "support/utf.hpp"
#include "value/json.hpp"

namespace zarnu_core::error {

// Details start out null and become an object on the first detail, so that making an error costs one
// allocation.
struct ErrorInner {
  std::string code;  // five characters for the language's codes; host errors may bring other names
  std::optional<std::size_t> position;
  std::optional<ast::Span> span;
  Json details;

  explicit ErrorInner(std::string_view c) : code(c) {}
};

namespace {

const Json& empty_object() {
  static constinit once::Once<Json> empty;
  return empty.get([] { return Json::object(); });
}

// Lookup in the details is linear: errors carry a handful of them.
const Json* find_member(const Json& details, std::string_view name) noexcept {
  if (!details.is_object()) return nullptr;
  for (const auto& [key, value] : details.get_ref<const Json::object_t&>())
    if (key == name) return &value;
  return nullptr;
}

// The slot of a detail: an existing one keeps its place, a new one goes last.
Json& slot(Json& details, std::string_view name) {
  if (!details.is_object()) details = Json::object();
  auto& members = details.get_ref<Json::object_t&>();
  for (auto& [key, value] : members)
    if (key == name) return value;
  members.emplace_back(std::string(name), nullptr);
  return members.back().second;
}

// clang-format off
constexpr std::array<CodeEntry, 116> kCodes = {{
    {"S0101", "String literal must be terminated by a matching quote"},
    {"S0102", "Number out of range: {{token}}"},
    {"S0103", "Unsupported escape sequence: \\{{token}}"},
    {"S0104", "The escape sequence \\u must be followed by 4 hex digits"},
    {"S0105", "Quoted property name must be terminated with a backquote (`)"},
    {"S0106", "Comment has no closing tag"},
    {"S0201", "Syntax error: {{token}}"},
    {"S0202", "Expected {{value}}, got {{token}}"},
    {"S0203", "Expected {{value}} before end of expression"},
    {"S0204", "Unknown operator: {{token}}"},
    {"S0205", "Unexpected token: {{token}}"},
    {"S0206", "Unknown expression type: {{token}}"},
    {"S0207", "Unexpected end of expression"},
    {"S0208", "Parameter {{value}} of function definition must be a variable name (start with $)"},
    {"S0209", "A predicate cannot follow a grouping expression in a step"},
    {"S0210", "Each step can only have one grouping expression"},
    {"S0211", "The symbol {{token}} cannot be used as a unary operator"},
    {"S0212", "The left side of := must be a variable name (start with $)"},
    {"S0213", "The literal value {{value}} cannot be used as a step within a path expression"},
    {"S0214", "The right side of {{token}} must be a variable name (start with $)"},
    {"S0215", "A context variable binding must precede any predicates on a step"},
    {"S0216", "A context variable binding must precede the 'order-by' clause on a step"},
    {"S0217", "The object representing the 'parent' cannot be derived from this expression"},
    {"S0301", "Empty regular expressions are not allowed"},
    {"S0302", "No terminating / in regular expression"},
    {"S0402", "Choice groups containing parameterized types are not supported"},
    {"S0401", "Type parameters can only be applied to functions and arrays"},
    {"S0500", "Attempted to evaluate an expression containing syntax error(s)"},
    {"T0410", "Argument {{index}} of function {{token}} does not match function signature"},
    {"T0411", "Context value is not a compatible type with argument {{index}} of function {{token}}"},
    {"T0412", "Argument {{index}} of function {{token}} must be an array of {{type}}"},
    {"D1001", "Number out of range: {{value}}"},
    {"D1002", "Cannot negate a non-numeric value: {{value}}"},
    {"T1003", "Key in object structure must evaluate to a string; got: {{value}}"},
    {"D1004", "Regular expression matches zero length string"},
    {"T1005", "Attempted to invoke a non-function. Did you mean ${{{token}}}?"},
    {"T1006", "Attempted to invoke a non-function"},
    {"T1007", "Attempted to partially apply a non-function. Did you mean ${{{token}}}?"},
    {"T1008", "Attempted to partially apply a non-function"},
    {"D1009", "Multiple key definitions evaluate to same key: {{value}}"},
    {"T1010", "The matcher function argument passed to function {{token}} does not return the correct object structure"},
    {"D1011", "Stack overflow. Check for non-terminating recursive function.  Consider rewriting as tail-recursive"},
    {"D1012", "Evaluation timeout after {{value}} milliseconds. Check for infinite loop"},
    {"D1013", "Object property names starting with _jsonata_ are reserved for internal use: {{value}}"},
    {"T2001", "The left side of the {{token}} operator must evaluate to a number"},
    {"T2002", "The right side of the {{token}} operator must evaluate to a number"},
    {"T2003", "The left side of the range operator (..) must evaluate to an integer"},
    {"T2004", "The right side of the range operator (..) must evaluate to an integer"},
    {"D2005", "The left side of := must be a variable name (start with $)"},
    {"T2006", "The right side of the function application operator ~> must be a function"},
    {"T2007", "Type mismatch when comparing values {{value}} and {{value2}} in order-by clause"},
    {"T2008", "The expressions within an order-by clause must evaluate to numeric or string values"},
    {"T2009", "The values {{value}} and {{value2}} either side of operator {{token}} must be of the same data type"},
    {"T2010", "The expressions either side of operator {{token}} must evaluate to numeric or string values"},
    {"T2011", "The insert/update clause of the transform expression must evaluate to an object: {{value}}"},
    {"T2012", "The delete clause of the transform expression must evaluate to a string or array of strings: {{value}}"},
    {"T2013", "The transform expression clones the input object using the $clone() function.  This has been overridden in the current scope by a non-function."},
    {"D2014", "The size of the sequence allocated by the range operator (..) must not exceed 1e7.  Attempted to allocate {{value}}."},
    {"D2015", "The maximum sequence length of {{value}} was exceeded."},
    {"D2016", "The size of the string requested by the $pad function must not exceed 1e7.  Attempted to allocate {{value}}."},
    {"D3001", "Attempting to invoke string function on Infinity or NaN"},
    {"D3010", "Second argument of replace function cannot be an empty string"},
    {"D3011", "Fourth argument of replace function must evaluate to a positive number"},
    {"D3012", "Attempted to replace a matched string with a non-string value"},
    {"D3020", "Third argument of split function must evaluate to a positive number"},
    {"D3030", "Unable to cast value to a number: {{value}}"},
    {"D3040", "Third argument of match function must evaluate to a positive number"},
    {"D3050", "The second argument of reduce function must be a function with at least two arguments"},
    {"D3060", "The sqrt function cannot be applied to a negative number: {{value}}"},
    {"D3061", "The power function has resulted in a value that cannot be represented as a JSON number: base={{value}}, exponent={{exp}}"},
    {"D3070", "The single argument form of the sort function can only be applied to an array of strings or an array of numbers.  Use the second argument to specify a comparison function"},
    {"D3080", "The picture string must only contain a maximum of two sub-pictures"},
    {"D3081", "The sub-picture must not contain more than one instance of the 'decimal-separator' character"},
    {"D3082", "The sub-picture must not contain more than one instance of the 'percent' character"},
    {"D3083", "The sub-picture must not contain more than one instance of the 'per-mille' character"},
    {"D3084", "The sub-picture must not contain both a 'percent' and a 'per-mille' character"},
    {"D3085", "The mantissa part of a sub-picture must contain at least one character that is either an 'optional digit character' or a member of the 'decimal digit family'"},
    {"D3086", "The sub-picture must not contain a passive character that is preceded by an active character and that is followed by another active character"},
    {"D3087", "The sub-picture must not contain a 'grouping-separator' character that appears adjacent to a 'decimal-separator' character"},
    {"D3088", "The sub-picture must not contain a 'grouping-separator' at the end of the integer part"},
    {"D3089", "The sub-picture must not contain two adjacent instances of the 'grouping-separator' character"},
    {"D3090", "The integer part of the sub-picture must not contain a member of the 'decimal digit family' that is followed by an instance of the 'optional digit character'"},
    {"D3091", "The fractional part of the sub-picture must not contain an instance of the 'optional digit character' that is followed by a member of the 'decimal digit family'"},
    {"D3092", "A sub-picture that contains a 'percent' or 'per-mille' character must not contain a character treated as an 'exponent-separator'"},
    {"D3093", "The exponent part of the sub-picture must comprise only of one or more characters that are members of the 'decimal digit family'"},
    {"D3100", "The radix of the formatBase function must be between 2 and 36.  It was given {{value}}"},
    {"D3110", "The argument of the toMillis function must be an ISO 8601 formatted timestamp. Given {{value}}"},
    {"D3120", "Syntax error in expression passed to function eval: {{value}}"},
    {"D3121", "Dynamic error evaluating the expression passed to function eval: {{value}}"},
    {"D3130", "Formatting or parsing an integer as a sequence starting with {{value}} is not supported by this implementation"},
    {"D3131", "In a decimal digit pattern, all digits must be from the same decimal group"},
    {"D3132", "Unknown component specifier {{value}} in date/time picture string"},
    {"D3133", "The 'name' modifier can only be applied to months and days in the date/time picture string, not {{value}}"},
    {"D3134", "The timezone integer format specifier cannot have more than four digits"},
    {"D3135", "No matching closing bracket ']' in date/time picture string"},
    {"D3136", "The date/time picture string is missing specifiers required to parse the timestamp"},
    {"D3137", "{{{message}}}"},
    {"D3138", "The $single() function expected exactly 1 matching result.  Instead it matched more."},
    {"D3139", "The $single() function expected exactly 1 matching result.  Instead it matched 0."},
    {"D3140", "Malformed URL passed to ${{{functionName}}}(): {{value}}"},
    {"D3141", "{{{message}}}"},
    {"D3150", "The timezone must be a number of hours and minutes, such as +0530: {{value}}"},
    {"U1001", "{{{message}}}"},
    {"U1002", "The function ${{{token}}} returned a promise: asynchronous functions are not supported"},
    {"U1003", "The evaluation was cancelled"},
    {"U1004", "The input could not be read: {{{message}}}"},
    {"U1005", "A function passed to ${{{token}}} was called after ${{{token}}} returned"},
    {"U2001", "The input is not valid JSON: {{{message}}}"},
    {"W0101", "This annotation is not attached to an expression and will be ignored"},
    {"W0102", "Unknown annotation tag @{{{tag}}}; expected @label, @message or @id"},
    {"W0103", "The value of annotation tag @{{{tag}}} should be a JSON string literal"},
    {"W0201", "Field {{token}} is not in the schema{{{hint}}}"},
    {"W0202", "Unknown function ${{{token}}}{{{hint}}}"},
    {"W0203", "Function ${{{token}}} takes {{{expected}}} but is given {{{count}}}"},
    {"W0204", "Variable ${{{token}}} is not declared{{{hint}}}"},
    {"W0205", "Argument {{{index}}} of ${{{token}}} is {{{type}}}, which does not match the signature {{{signature}}}"},
}};
// clang-format on

}  // namespace

Error::Error(std::string_view code) : inner_(std::make_unique<ErrorInner>(code)) {}
Error::Error(Error&&) noexcept = default;
Error& Error::operator=(Error&&) noexcept = default;
Error::~Error() = default;

Error Error::clone() const {
  Error copy(inner_->code);
  copy.inner_->position = inner_->position;
  copy.inner_->span = inner_->span;
  copy.inner_->details = json::copy(inner_->details);
  return copy;
}

Error Error::with(std::string_view key, std::string_view text) && {
  slot(inner_->details, key) = std::string(text);
  return std::move(*this);
}

Error Error::with(std::string_view key, Json value) && {
  slot(inner_->details, key) = std::move(value);
  return std::move(*this);
}

Error Error::with(std::string_view key, double value) && {
  Json& s = slot(inner_->details, key);
  if (std::isfinite(value))
    s = value;
  else
    s = nullptr;
  return std::move(*this);
}

Error Error::with(std::string_view key, bool value) && {
  slot(inner_->details, key) = value;
  return std::move(*this);
}

Error Error::with_integer(std::string_view key, std::int64_t value) && {
  slot(inner_->details, key) = value;
  return std::move(*this);
}

Error Error::with_unsigned(std::string_view key, std::uint64_t value) && {
  slot(inner_->details, key) = value;
  return std::move(*this);
}

Error Error::with_message(std::string message) && {
  slot(inner_->details, "message") = std::move(message);
  return std::move(*this);
}

Error Error::with_token(std::string_view token) && {
  return std::move(*this).with("token", token);
}

Error Error::with_index(std::int32_t index) && {
  slot(inner_->details, "index") = static_cast<std::int64_t>(index);
  return std::move(*this);
}

Error Error::located(std::string_view source, ast::Span span, std::size_t offset) && {
  inner_->position = utf::utf16_position(source, offset);
  inner_->span = span;
  return std::move(*this);
}

Error Error::located_at(std::size_t position, ast::Span span) && {
  inner_->position = position;
  inner_->span = span;
  return std::move(*this);
}

std::string_view Error::code() const noexcept {
  return inner_->code;
}

std::optional<std::size_t> Error::position() const noexcept {
  return inner_->position;
}

std::optional<ast::Span> Error::span() const noexcept {
  return inner_->span;
}

const Json* Error::detail(std::string_view name) const noexcept {
  return find_member(inner_->details, name);
}

const Json& Error::details() const noexcept {
  return inner_->details.is_object() ? inner_->details : empty_object();
}

std::optional<std::string> Error::token() const {
  const Json* token = detail("token");
  if (token == nullptr) return std::nullopt;
  if (token->is_string()) return token->get<std::string>();
  return json::to_text(*token);
}

std::string Error::message() const {
  if (auto templ = template_for(inner_->code)) return populate(*templ, details());
  if (const Json* message = detail("message"); message != nullptr && message->is_string())
    return message->get<std::string>();
  return "Unknown error";
}

std::string Error::debug() const {
  std::string out = "Error(ErrorInner{code: ";
  out.append(inner_->code);
  out.append(", position: ");
  if (inner_->position) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, *inner_->position).ptr);
  } else {
    out.append("none");
  }
  out.append(", span: ");
  if (inner_->span) {
    char buf[24];
    out.append(buf, std::to_chars(buf, buf + sizeof buf, inner_->span->start).ptr);
    out.append("..");
    out.append(buf, std::to_chars(buf, buf + sizeof buf, inner_->span->end).ptr);
  } else {
    out.append("none");
  }
  out.append(", details: ");
  json::write(out, details(), false);
  out.append("})");
  return out;
}

Diagnostic Diagnostic::warning(std::string_view code, std::size_t start, std::size_t end,
                               std::optional<std::pair<std::string_view, std::string_view>> detail) {
  Json details = Json::object();
  if (detail) slot(details, detail->first) = std::string(detail->second);
  std::string message = populate(template_for(code).value_or("{{{message}}}"), details);
  return Diagnostic{std::string(code), std::move(message), start, end, 1};
}

std::optional<std::string_view> template_for(std::string_view code) noexcept {
  for (const CodeEntry& entry : kCodes)
    if (entry.code == code) return entry.text;
  return std::nullopt;
}

std::span<const CodeEntry> code_table() noexcept {
  return kCodes;
}

std::string populate(std::string_view templ, const Json& details) {
  std::string out;
  out.reserve(templ.size() + 16);
  std::size_t at = 0;
  while (true) {
    const std::size_t open = templ.find("{{", at);
    if (open == std::string_view::npos) {
      out.append(templ.substr(at));
      return out;
    }
    out.append(templ.substr(at, open - at));
    // "{{{name}}}" puts a string detail in as it is; "{{name}}" always writes JSON text.
    const bool raw = templ.substr(open).starts_with("{{{");
    const std::size_t width = raw ? 3 : 2;
    const std::size_t close = templ.find(raw ? "}}}" : "}}", open + width);
    if (close == std::string_view::npos) {
      out.append(templ.substr(open));
      return out;
    }
    const Json* value = find_member(details, templ.substr(open + width, close - open - width));
    if (value == nullptr)
      out.append("undefined");
    else if (raw && value->is_string())
      out.append(value->get_ref<const std::string&>());
    else
      json::write(out, *value, false);
    at = close + width;
  }
}

}  // namespace zarnu_core::error
