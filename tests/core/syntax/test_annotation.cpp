// Annotation tests: which expression a doc comment annotates, how its text is read into a description and
// tags, and the warnings W0101, W0102 and W0103 with their spans.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "syntax/annotation.hpp"
#include "syntax/parser.hpp"

namespace zarnu_core::annotation {
namespace {

using parser::Raw;
using parser::RawKind;

// Reads one comment written as its inner text, placed at offset 0 of an expression ("/**" first).
Annotation read_text(std::string inner, std::vector<error::Diagnostic>* warnings = nullptr) {
  std::vector<error::Diagnostic> local;
  Annotation a;
  const std::size_t end = inner.size() + 5;
  read({DocComment{std::move(inner), 0, end, 3}}, a, warnings ? *warnings : local);
  return a;
}

parser::Parsed parsed(std::string_view text) {
  auto result = parser::parse_text(text);
  if (!result) {
    ADD_FAILURE() << text << ": " << result.error().debug();
    return {};
  }
  return std::move(*result);
}

std::string codes(const std::vector<error::Diagnostic>& warnings) {
  std::string out;
  for (const auto& w : warnings)
    out +=
        (out.empty() ? "" : " ") + w.code + "(" + std::to_string(w.start) + "," + std::to_string(w.end) + ")";
  return out;
}

TEST(AnnotationText, DescriptionAndTags) {
  Annotation a = read_text(R"( Total @label "sum" )");
  EXPECT_EQ(a.description, "Total");
  EXPECT_EQ(a.label, "sum");
  EXPECT_FALSE(a.id);
  EXPECT_FALSE(a.message);

  a = read_text("\n * first\r\n * second\n *\n ** third\n ");
  EXPECT_EQ(a.description, "first second * third");

  a = read_text("@id \"x\"\t@message\t\"m \\\"q\\\" \\u00e9\" @label \"l\"");
  EXPECT_FALSE(a.description);
  EXPECT_EQ(a.id, "x");
  EXPECT_EQ(a.message, "m \"q\" \u00e9");
  EXPECT_EQ(a.label, "l");

  // Unicode white space is trimmed from description lines.
  a = read_text("\u3000 wide\u00a0");
  EXPECT_EQ(a.description, "wide");
}

TEST(AnnotationText, AnAtSignStartsATagOnlyAfterWhiteSpaceOrAStar) {
  std::vector<error::Diagnostic> warnings;
  Annotation a = read_text(" mail a@b.c, x(@y) *@id \"i\"", &warnings);
  EXPECT_EQ(a.description, "mail a@b.c, x(@y) *");
  EXPECT_EQ(a.id, "i");
  EXPECT_TRUE(warnings.empty());

  // An "@" inside a tag's quoted value is part of the value.
  a = read_text(R"( @message "use @label here" )", &warnings);
  EXPECT_EQ(a.message, "use @label here");
  EXPECT_FALSE(a.label);
  EXPECT_TRUE(warnings.empty());

  // Text after a value is ignored up to the next tag.
  a = read_text(R"( @label "a" trailing words @id "b")", &warnings);
  EXPECT_EQ(a.label, "a");
  EXPECT_EQ(a.id, "b");
  EXPECT_FALSE(a.description);
  EXPECT_TRUE(warnings.empty());
}

TEST(AnnotationText, MalformedTagsWarnWithTheTagsSpan) {
  std::vector<error::Diagnostic> warnings;
  Annotation a = read_text(R"( @colour "red" @label red @id "" @message "\x" @label "ok")", &warnings);
  EXPECT_EQ(a.label, "ok");
  EXPECT_FALSE(a.id);
  EXPECT_FALSE(a.message);
  ASSERT_EQ(codes(warnings), "W0102(4,11) W0103(18,24) W0103(29,32) W0103(36,44)");
  EXPECT_EQ(warnings[0].message, "Unknown annotation tag @colour; expected @label, @message or @id");
  EXPECT_EQ(warnings[1].message, "The value of annotation tag @label should be a JSON string literal");
  EXPECT_EQ(warnings[0].kind, 1);

  warnings.clear();
  read_text(R"(@label)", &warnings);
  read_text(R"(@label ")", &warnings);
  read_text("@label \"a\nb\"", &warnings);  // a raw line feed is not allowed in a JSON string
  read_text(R"(@label "unterminated)", &warnings);
  read_text(R"(@ label "x")", &warnings);
  EXPECT_EQ(codes(warnings), "W0103(3,9) W0103(3,9) W0103(3,9) W0103(3,9) W0102(3,4)");
}

TEST(AnnotationText, LaterCommentsReplaceOnlyWhatTheySet) {
  std::vector<error::Diagnostic> warnings;
  Annotation a;
  read({DocComment{R"( first @label "a" @id "i" )", 0, 30, 3},
        DocComment{R"( second @label "b" )", 31, 55, 34}},
       a, warnings);
  EXPECT_EQ(a.description, "second");
  EXPECT_EQ(a.label, "b");
  EXPECT_EQ(a.id, "i");
  read({DocComment{R"( @bad "x" )", 60, 72, 63}}, a, warnings);
  EXPECT_EQ(codes(warnings), "W0102(64,68)");
  EXPECT_EQ(a.description, "second");
}

TEST(Annotations, AttachToTheExpressionThatFollows) {
  parser::Parsed p = parsed(R"(/** Total @label "sum" */ $sum(x))");
  ASSERT_EQ(p.root.kind, RawKind::Call);
  ASSERT_TRUE(p.root.annotation);
  EXPECT_EQ(p.root.annotation->description, "Total");
  EXPECT_EQ(p.root.annotation->label, "sum");
  EXPECT_TRUE(p.warnings.empty());

  // The annotated operand takes the infix operators that bind tighter than "and".
  p = parsed(R"(/** @label "a" */ x = 1 and y)");
  EXPECT_EQ(p.root.text, "and");
  EXPECT_FALSE(p.root.annotation);
  ASSERT_TRUE(p.root.children[0].annotation);
  EXPECT_EQ(p.root.children[0].text, "=");
  EXPECT_EQ(p.root.children[0].annotation->label, "a");

  p = parsed(R"(/** d */ a.b + c ~> $f ? 1 : 2)");
  EXPECT_EQ(p.root.kind, RawKind::Condition);
  EXPECT_FALSE(p.root.annotation);
  EXPECT_EQ(p.root.children[0].text, "~>");
  EXPECT_TRUE(p.root.children[0].annotation);

  p = parsed(R"($x := /** d */ 1 or 2)");
  EXPECT_EQ(p.root.text, ":=");
  EXPECT_EQ(p.root.children[1].text, "or");
  EXPECT_FALSE(p.root.children[1].annotation);
  EXPECT_TRUE(p.root.children[1].children[0].annotation);

  // Inside an operand parsed at a higher power, the annotation stops where that operand does.
  p = parsed(R"(a * /** d */ b + c)");
  EXPECT_EQ(p.root.text, "+");
  EXPECT_TRUE(p.root.children[0].children[1].annotation);

  p = parsed(R"($f(/** d */ x, [/** e */ y]))");
  EXPECT_EQ(p.root.children[1].annotation->description, "d");
  EXPECT_EQ(p.root.children[2].children[0].annotation->description, "e");
}

TEST(Annotations, EmptyAnnotationsAreDropped) {
  parser::Parsed p = parsed("/** */ x");
  EXPECT_FALSE(p.root.annotation);
  EXPECT_TRUE(p.warnings.empty());
  p = parsed(R"(/** @label red */ x)");
  EXPECT_FALSE(p.root.annotation);
  EXPECT_EQ(codes(p.warnings), "W0103(4,10)");
  EXPECT_EQ(p.warnings[0].message, "The value of annotation tag @label should be a JSON string literal");
}

TEST(Annotations, CommentsThatAnnotateNothing) {
  // Before an infix operator.
  parser::Parsed p = parsed("a /** doc */ + b");
  EXPECT_EQ(codes(p.warnings), "W0101(2,12)");
  EXPECT_EQ(p.warnings[0].message, "This annotation is not attached to an expression and will be ignored");
  EXPECT_FALSE(p.root.annotation);
  EXPECT_FALSE(p.root.children[0].annotation);
  EXPECT_FALSE(p.root.children[1].annotation);

  // Before closers and separators, and after the last token.
  p = parsed("(a /** x */; [1 /** y */]) /** z */");
  EXPECT_EQ(codes(p.warnings), "W0101(3,11) W0101(16,24) W0101(27,35)");

  // The parser's warnings keep their order; those after the last token come last.
  p = parsed("/** @bad \"x\" */ a /** y */ . b /** z */");
  EXPECT_EQ(codes(p.warnings), "W0102(4,8) W0101(18,26) W0101(31,39)");

  // An empty text keeps its comments for the end.
  p = parsed("/** only */");
  EXPECT_EQ(p.root.kind, RawKind::End);
  EXPECT_EQ(codes(p.warnings), "W0101(0,11)");
}

}  // namespace
}  // namespace zarnu_core::annotation
