// Signature parsing, the letter-class matcher and argument validation. Validation runs before every call
// of a function with a signature, so its working storage stays inline for ordinary argument counts.
#include "syntax/signature.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include <boost/unordered/unordered_flat_set.hpp>

#include "support/panic.hpp"
#include "support/utf.hpp"
#include "value/json.hpp"
#include "value/output.hpp"

namespace zarnu_core::signature {

using error::Error;
using json::Json;
using value::Items;
using value::Value;

namespace {

// The bit of a value letter in `Piece::mask`, 0 for a character no value has as its letter.
constexpr std::uint8_t letter_bit(char letter) noexcept {
  for (int i = 0; i < 8; ++i)
    if (value::kSignatureLetters[i] == letter) return static_cast<std::uint8_t>(1u << i);
  return 0;
}

constexpr std::array<std::uint8_t, 256> kLetterBits = [] {
  std::array<std::uint8_t, 256> bits{};
  for (int c = 0; c < 256; ++c) bits[c] = letter_bit(static_cast<char>(c));
  return bits;
}();

std::uint8_t bit_of(char letter) noexcept {
  return kLetterBits[static_cast<unsigned char>(letter)];
}

// Working storage of `n` items: inline up to N, on the heap beyond.
template <class T, std::size_t N>
class Scratch {
 public:
  explicit Scratch(std::size_t n) : size_(n) {
    if (n > N) heap_.assign(n, T{});
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  T* data() noexcept { return size_ > N ? heap_.data() : inline_.data(); }
  std::span<T> view() noexcept { return {data(), size_}; }

 private:
  std::size_t size_;
  std::array<T, N> inline_{};
  std::vector<T> heap_;
};

// The (piece, position) states known to fail. Whether the pieces from k on match from position p does
// not depend on how p was reached, so each state is explored at most once: matching costs at most
// pieces x positions x letters steps instead of growing exponentially with the number of "+" pieces.
// Small searches keep the states in an inline bit set; large ones record only the failures seen, so
// that memory stays within the time spent.
class FailedStates {
 public:
  FailedStates(std::size_t pieces, std::size_t positions) : width_(positions) {
    dense_ = pieces <= kInlineBits / positions;
  }
  bool test(std::size_t k, std::size_t p) const noexcept {
    const std::size_t i = k * width_ + p;
    if (dense_) return (bits_[i / 64] >> (i % 64)) & 1;
    return sparse_.contains(i);
  }
  void set(std::size_t k, std::size_t p) {
    const std::size_t i = k * width_ + p;
    if (dense_)
      bits_[i / 64] |= std::uint64_t{1} << (i % 64);
    else
      sparse_.insert(i);
  }

 private:
  static constexpr std::size_t kInlineBits = 512;
  std::size_t width_;
  bool dense_;
  std::array<std::uint64_t, kInlineBits / 64> bits_{};
  boost::unordered_flat_set<std::size_t> sparse_;
};

// The index of the bracket that closes the one at `open` (nested pairs counted), or the end of
// the text when it is never closed. Both brackets are ASCII, so bytes can be scanned.
std::size_t closing(std::string_view text, std::size_t open, char opener, char closer) noexcept {
  std::size_t depth = 0;
  for (std::size_t j = open; j < text.size(); ++j) {
    if (text[j] == opener) {
      ++depth;
    } else if (text[j] == closer && --depth == 0) {
      return j;
    }
  }
  return text.size();
}

std::string_view type_name(std::string_view subtype) noexcept {
  if (subtype.size() == 1) {
    switch (subtype[0]) {
      case 'a':
        return "arrays";
      case 'b':
        return "booleans";
      case 'f':
        return "functions";
      case 'n':
        return "numbers";
      case 'o':
        return "objects";
      case 's':
        return "strings";
      default:
        break;
    }
  }
  return "values";
}

// The subtype check of an "a<...>" parameter for one argument: a single value's letters must spell the
// subtype, an array's items must all have its first letter.
Status check_subtype(std::string_view subtype, std::string_view matched, char letter, const Value& arg,
                     std::size_t index, const std::function<Status()>* step) {
  bool ok = letter == 'a' || matched == subtype;
  if (ok && arg.is_array() && !subtype.empty()) {
    for (const Value& item : arg.as_array().read()) {
      if (step) ZR_TRY((*step)());
      if (item.signature_letter() != subtype[0]) {
        ok = false;
        break;
      }
    }
  }
  if (ok) return {};
  return fail(eval::with_value(Error("T0412").with("index", index).with("type", type_name(subtype)), arg));
}

Value wrapped(Value v) {
  Items one;
  one.push_back(std::move(v));
  return Value::array_with(std::move(one), 0);
}

}  // namespace

bool Piece::contains(char letter) const noexcept {
  return (mask & bit_of(letter)) != 0;
}

Piece piece(std::string_view pattern) {
  Piece p;
  if (pattern.empty()) return p;
  std::string_view rest;
  if (pattern[0] == '[') {
    const std::size_t close = pattern.find(']', 1);
    if (close == std::string_view::npos) {
      p.letters = pattern.substr(1);
    } else {
      p.letters = pattern.substr(1, close - 1);
      rest = pattern.substr(close + 1);
    }
  } else {
    const std::size_t n =
        std::min(utf::sequence_length(static_cast<unsigned char>(pattern[0])), pattern.size());
    p.letters = pattern.substr(0, n);
    rest = pattern.substr(n);
  }
  if (rest.find('+') != std::string_view::npos) {
    p.max = SIZE_MAX;
  } else if (rest.find('?') != std::string_view::npos) {
    p.min = 0;
  }
  for (char c : p.letters) p.mask |= bit_of(c);
  return p;
}

bool match_pieces(std::span<const Piece> pieces, std::string_view letters, std::size_t pos,
                  std::span<LetterSpan> spans, bool anchored) {
  if (spans.size() < pieces.size()) panic("match_pieces: fewer span slots than pieces");
  if (pos > letters.size()) return false;
  const std::size_t n = letters.size();
  FailedStates failed(pieces.size(), n - pos + 1);
  // Depth-first over the pieces without recursion (a signature may have many parameters): spans[k] holds
  // the choice piece k is trying, and backtracking gives back its last letter.
  std::size_t k = 0;
  std::size_t p = pos;
  for (;;) {
    if (k == pieces.size()) {
      if (!anchored || p == n) return true;
    } else if (!failed.test(k, p - pos)) {
      const Piece& current = pieces[k];
      const std::size_t limit = std::min(current.max, n - p);
      std::size_t count = 0;
      while (count < limit && current.contains(letters[p + count])) ++count;
      if (count >= current.min) {
        spans[k] = {p, p + count};
        p += count;
        ++k;
        continue;
      }
      failed.set(k, p - pos);
    }
    for (;;) {
      if (k == 0) return false;
      --k;
      auto& [start, end] = spans[k];
      if (end - start > pieces[k].min) {
        p = --end;
        ++k;
        break;
      }
      failed.set(k, start - pos);
    }
  }
}

Result<Signature> Signature::parse(std::string_view text) {
  Signature sig;
  sig.text_ = std::string(text);
  std::vector<Param>& params = sig.params_;
  auto add = [&](char symbol, std::string pattern) {
    Param param;
    param.symbol = std::string(1, symbol);
    param.pattern = std::move(pattern);
    params.push_back(std::move(param));
  };
  // `b` walks the bytes, `i` counts the characters that error offsets are given in; the leading "<" is
  // skipped whatever it is.
  auto next = [&](std::size_t at) {
    return std::min(at + utf::sequence_length(static_cast<unsigned char>(text[at])), text.size());
  };
  std::size_t b = text.empty() ? 0 : next(0);
  std::size_t i = 1;
  while (b < text.size()) {
    const char c = text[b];
    if (c == ':') break;  // the result type is not interpreted
    Param* last = params.empty() ? nullptr : &params.back();
    std::size_t resume = 0;  // where reading goes on after a bracketed group
    switch (c) {
      case 'a':
      case 'x':
        add(c, "[asnblfom]");
        break;
      case 'b':
      case 'l':
      case 'n':
      case 'o':
      case 's':
        add(c, std::string{'[', c, 'm', ']'});
        break;
      case 'f':
        add(c, "f");
        break;
      case 'j':
        add(c, "[asnblom]");
        break;
      case '(': {
        const std::size_t close = closing(text, b, '(', ')');
        const std::string_view choice = text.substr(b + 1, close - b - 1);
        if (choice.find('<') != std::string_view::npos)
          return fail(Error("S0402").with("value", choice).with("offset", i));
        Param param;
        param.symbol = "(" + std::string(choice) + ")";
        param.pattern = "[" + std::string(choice) + "m]";
        params.push_back(std::move(param));
        resume = std::min(close + 1, text.size());
        break;
      }
      case '+':
      case '?':
        if (last) last->pattern += c;
        break;
      case '-':
        if (last) {
          last->use_context = true;
          last->context_pattern = last->pattern;
          last->pattern += '?';
        }
        break;
      case '<': {
        if (!last || (last->symbol != "a" && last->symbol != "f")) {
          Json symbol = last && !last->symbol.empty() ? Json(last->symbol) : Json(nullptr);
          return fail(Error("S0401").with("value", std::move(symbol)).with("offset", i));
        }
        const std::size_t close = closing(text, b, '<', '>');
        last->subtype = std::string(text.substr(b + 1, close - b - 1));
        resume = std::min(close + 1, text.size());
        break;
      }
      default:
        break;
    }
    if (resume != 0) {
      i += utf::char_count(text.substr(b, resume - b));
      b = resume;
    } else {
      b = next(b);
      ++i;
    }
  }
  sig.pieces_.reserve(params.size());
  sig.context_masks_.reserve(params.size());
  for (const Param& param : params) {
    sig.pieces_.push_back(piece(param.pattern));
    sig.context_masks_.push_back(param.context_pattern ? piece(*param.context_pattern).mask : 0);
  }
  return sig;
}

Result<Items> Signature::validate(Items args, const Value& context,
                                  const std::function<Status()>* step) const {
  Scratch<char, 32> letter_buf(args.size());
  for (std::size_t j = 0; j < args.size(); ++j) letter_buf.data()[j] = args[j].signature_letter();
  const std::string_view letters(letter_buf.data(), args.size());
  Scratch<LetterSpan, 16> spans(pieces_.size());
  if (!match_pieces(pieces_, letters, 0, spans.view(), true)) [[unlikely]]
    return fail(mismatch(args, letters));
  return normalise(args, spans.view(), letters, context, step);
}

Error Signature::mismatch(const Items& args, std::string_view letters) const {
  // The offending argument is where the longest prefix of the parameters that still matches stops.
  Scratch<LetterSpan, 16> spans(pieces_.size());
  const std::span<const Piece> all(pieces_);
  std::size_t end = 0;
  for (std::size_t k = 1; k <= all.size(); ++k) {
    if (!match_pieces(all.first(k), letters, 0, spans.view(), false)) break;
    end = spans.view()[k - 1].second;
  }
  Error e = Error("T0410").with("index", end + 1);
  if (end < args.size()) return eval::with_value(std::move(e), args[end]);
  return e;
}

Result<Items> Signature::normalise(Items& args, std::span<const LetterSpan> spans, std::string_view letters,
                                   const Value& context, const std::function<Status()>* step) const {
  std::size_t total = 0;
  for (std::size_t k = 0; k < params_.size(); ++k)
    total += std::max<std::size_t>(spans[k].second - spans[k].first, 1);
  Items out;
  out.reserve(total);
  // The cursor runs over the given arguments; an optional parameter that took no letter still takes the
  // argument at the cursor, so cursor and letters can part ways, and past the end it reads undefined.
  std::size_t cursor = 0;
  auto take = [&] {
    Value v = cursor < args.size() ? std::move(args[cursor]) : Value();
    ++cursor;
    return v;
  };
  for (std::size_t k = 0; k < params_.size(); ++k) {
    const Param& param = params_[k];
    const auto [start, end] = spans[k];
    if (start == end) {
      if (!param.use_context) {
        out.push_back(take());
      } else if (context_masks_[k] & bit_of(context.signature_letter())) {
        out.push_back(context);
      } else {
        return fail(eval::with_value(Error("T0411").with("index", cursor + 1), context));
      }
      continue;
    }
    if (param.symbol != "a") {
      for (std::size_t j = start; j < end; ++j) out.push_back(take());
      continue;
    }
    for (std::size_t j = start; j < end; ++j) {
      Value arg = take();
      if (letters[j] == 'm') {
        out.push_back(Value());
        continue;
      }
      if (param.subtype)
        ZR_TRY(
            check_subtype(*param.subtype, letters.substr(start, end - start), letters[j], arg, cursor, step));
      out.push_back(arg.is_array() ? std::move(arg) : wrapped(std::move(arg)));
    }
  }
  return out;
}

}  // namespace zarnu_core::signature
