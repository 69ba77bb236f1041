// The encoding built-ins: Base64 over a string's UTF-16 code units taken as bytes, and the
// percent-encoding of URLs and their components.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "eval/native.hpp"

namespace zarnu_core::functions::strings {

// Percent-encodes every character except ASCII letters, digits, the marks "-_.!~*'()" and the
// characters of `keep`, writing each byte of its UTF-8 form as "%XX" (upper-case digits).
std::string encode(std::string_view text, std::string_view keep);

// Decodes percent-encoding; none when the text is malformed (a "%" without two hexadecimal digits, or
// bytes that are not one complete, valid UTF-8 character). With `keep_reserved` an encoded reserved
// character (";/?:@&=+$,#") stays as written.
std::optional<std::string> decode(std::string_view text, bool keep_reserved);

Result<value::Value> base64encode(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> base64decode(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> encode_url_component(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> encode_url(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> decode_url_component(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> decode_url(eval::Evaluator& ev, value::Items args, const Call& call);

}  // namespace zarnu_core::functions::strings
