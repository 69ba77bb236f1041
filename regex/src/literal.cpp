// Splitting literal code point sequences into byte runs and small sets.
#include "literal.hpp"

#include "unicode.hpp"
#include "util.hpp"

namespace zarnu_regex::literal {

std::vector<Piece> pieces_for(std::span<const char32_t> cps, bool icase, bool unicode) {
  std::vector<Piece> out;
  for (char32_t c : cps) {
    const auto x = unicode::expand_code_point(c, icase, unicode);
    if (x.size == 0) util::unreachable("Char should always unfold to at least itself");
    if (x.size == 1) {
      const char32_t m = x.cps[0];
      if (util::is_surrogate(m)) {
        out.push_back(Piece{Piece::Kind::CodePoint, {}, {m}});
        continue;
      }
      if (out.empty() || out.back().kind != Piece::Kind::Bytes)
        out.push_back(Piece{Piece::Kind::Bytes, {}, {}});
      std::uint8_t buf[4];
      const std::size_t n = util::utf8_encode(m, buf);
      out.back().bytes.insert(out.back().bytes.end(), buf, buf + n);
      continue;
    }
    bool ascii = true;
    for (char32_t m : x.view()) ascii &= m < 0x80;
    Piece p;
    if (ascii) {
      p.kind = Piece::Kind::ByteSet;
      for (char32_t m : x.view()) p.bytes.push_back(static_cast<std::uint8_t>(m));
    } else {
      p.kind = Piece::Kind::CodePointSet;
      p.cps.assign(x.cps, x.cps + x.size);
    }
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace zarnu_regex::literal
