// Reading doc comments into annotations: the description before the first tag, then the tags @label, @id
// and @message with JSON string values. Malformed tags only warn.
#include "syntax/annotation.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "support/utf.hpp"
#include "value/json.hpp"

namespace zarnu_core::annotation {

namespace {

// Unicode White_Space.
bool is_white(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty()) {
    std::size_t pos = 0;
    if (!is_white(utf::decode(s, pos))) break;
    s.remove_prefix(std::min(pos, s.size()));
  }
  while (!s.empty()) {
    std::size_t start = s.size() - 1;
    while (start > 0 && utf::is_continuation(static_cast<unsigned char>(s[start]))) --start;
    std::size_t pos = start;
    if (!is_white(utf::decode(s, pos))) break;
    s.remove_suffix(s.size() - start);
  }
  return s;
}

// A tag begins at an "@" at the start of the text or after white space or a "*" decoration, so that an
// address such as a@b.c stays text.
std::size_t next_tag(std::string_view text, std::size_t from) noexcept {
  for (std::size_t i = text.find('@', from); i != std::string_view::npos; i = text.find('@', i + 1)) {
    if (i == 0) return i;
    const char before = text[i - 1];
    if (before == '\t' || before == '\n' || before == '\r' || before == ' ' || before == '*') return i;
  }
  return std::string_view::npos;
}

bool is_tag_char(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::string describe(std::string_view text) {
  std::string description;
  for (std::size_t start = 0;;) {
    std::size_t stop = text.find('\n', start);
    if (stop == std::string_view::npos) stop = text.size();
    std::string_view line = trim(text.substr(start, stop - start));
    if (!line.empty() && line.front() == '*') line = trim(line.substr(1));
    if (!line.empty()) {
      if (!description.empty()) description.push_back(' ');
      description.append(line);
    }
    if (stop == text.size()) return description;
    start = stop + 1;
  }
}

// The JSON string literal starting at the quote at `open`, and the offset after it; none when the text
// there is not a valid JSON string literal.
std::optional<std::string> json_string(std::string_view text, std::size_t open, std::size_t& end) {
  std::size_t i = open + 1;
  while (i < text.size() && text[i] != '"') i += text[i] == '\\' ? 2 : 1;
  if (i >= text.size()) return std::nullopt;
  json::Json parsed = json::Json::parse(text.begin() + static_cast<std::ptrdiff_t>(open),
                                        text.begin() + static_cast<std::ptrdiff_t>(i + 1), nullptr, false);
  if (!parsed.is_string()) return std::nullopt;
  end = i + 1;
  return parsed.get<std::string>();
}

void read_one(const DocComment& comment, Annotation& into, std::vector<error::Diagnostic>& warnings) {
  const std::string_view text = comment.text;
  const std::size_t base = comment.inner_start;
  std::size_t tag = next_tag(text, 0);
  std::string description = describe(text.substr(0, tag == std::string_view::npos ? text.size() : tag));
  if (!description.empty()) into.description = std::move(description);

  while (tag != std::string_view::npos) {
    std::size_t name_end = tag + 1;
    while (name_end < text.size() && is_tag_char(text[name_end])) ++name_end;
    const std::string_view name = text.substr(tag + 1, name_end - tag - 1);
    std::size_t value_start = name_end;
    while (value_start < text.size() && (text[value_start] == ' ' || text[value_start] == '\t'))
      ++value_start;

    // A value that is not a JSON string is skipped with the search for the next tag.
    std::size_t resume = name_end;
    std::optional<std::string> value;
    if (value_start + 1 < text.size() && text[value_start] == '"')
      value = json_string(text, value_start, resume);

    std::optional<std::string>* field = name == "label"     ? &into.label
                                        : name == "id"      ? &into.id
                                        : name == "message" ? &into.message
                                                            : nullptr;
    const std::pair<std::string_view, std::string_view> detail{"tag", name};
    if (field == nullptr) {
      warnings.push_back(error::Diagnostic::warning("W0102", base + tag, base + name_end, detail));
    } else if (!value || value->empty()) {
      warnings.push_back(error::Diagnostic::warning("W0103", base + tag, base + name_end, detail));
    } else {
      *field = std::move(*value);
    }
    tag = next_tag(text, resume);
  }
}

}  // namespace

void read(const std::vector<DocComment>& comments, Annotation& into,
          std::vector<error::Diagnostic>& warnings) {
  for (const DocComment& comment : comments) read_one(comment, into, warnings);
}

error::Diagnostic unattached(const DocComment& comment) {
  return error::Diagnostic::warning("W0101", comment.start, comment.end, std::nullopt);
}

}  // namespace zarnu_core::annotation
