// Doc comments written in front of an expression ("/** ... */") and the annotations read from them: a
// description and the tagged values @label, @id and @message.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "value/error.hpp"

namespace zarnu_core::annotation {

struct DocComment {
  std::string text;             // the bytes after "/**" up to the closing "*/"
  std::size_t start = 0;        // offset of the comment's first "/"
  std::size_t end = 0;          // offset just after the closing "*/"
  std::size_t inner_start = 0;  // start + 3
};

struct Annotation {
  std::optional<std::string> description;
  std::optional<std::string> label;
  std::optional<std::string> id;
  std::optional<std::string> message;

  bool empty() const noexcept { return !description && !label && !id && !message; }
};

// Reads doc comments in turn into one annotation (a later comment's fields replace earlier ones), appending
// the warnings W0102 and W0103 for malformed tags.
void read(const std::vector<DocComment>& comments, Annotation& into,
          std::vector<error::Diagnostic>& warnings);

// The warning W0101 for a doc comment that annotates nothing.
error::Diagnostic unattached(const DocComment& comment);

}  // namespace zarnu_core::annotation
