// Lazily read host values: containers read once, only when touched, one member at a time where possible,
// with the first read failure kept.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "helpers.hpp"
#include "value/lazy.hpp"
#include "value/output.hpp"

using namespace zarnu_core;
using namespace zarnu_core::value;
using namespace zarnu_test;

namespace {

Json big_object(int n) {
  Json j = Json::object();
  for (int i = 0; i < n; ++i) j["k" + std::to_string(i)] = i;
  j["child"] = Json::parse(R"({"x":[1,2]})");
  return j;
}

}  // namespace

TEST(Lazy, OneMemberOfALargeObject) {
  auto source = Rc<TestSource>::make(big_object(10000));
  auto shared = Shared::create();
  Value top = source->top(shared);
  Object& o = top.as_object();
  EXPECT_EQ(S(read_field(o, "k7")), "7");
  EXPECT_EQ(o.read_state, 0);  // scalars are not stored
  EXPECT_TRUE(read_field(o, "missing").is_undefined());
  Value child = read_field(o, "child");
  EXPECT_EQ(o.read_state, 1);
  EXPECT_EQ(source->reads, 0);
  EXPECT_LE(source->conversions, 4);
  EXPECT_TRUE(read_field(o, "child").same_payload(child));
  // The whole read keeps the member container read earlier, at the source's position.
  (void)child.as_object().borrow();
  FieldsRef fields = o.borrow();
  EXPECT_EQ(fields->size(), 10001u);
  EXPECT_EQ(fields->back().first.view(), "child");
  EXPECT_TRUE(fields->back().second.same_payload(child));
  EXPECT_EQ(o.read_state, 2);
  EXPECT_EQ(source->reads, 2);  // the child, then the parent
}

TEST(Lazy, ContainersAreReadOnceAndOnlyWhenTouched) {
  auto source = Rc<TestSource>::make(Json::parse(R"([{"a":[1,2]},{"b":3},[4]])"));
  auto shared = Shared::create();
  Value top = source->top(shared);
  EXPECT_EQ(source->reads, 0);
  const Items& items = top.as_array().read();
  EXPECT_EQ(source->reads, 1);
  top.as_array().read();
  EXPECT_EQ(source->reads, 1);
  EXPECT_EQ(S(items[1]), R"({"b":3})");
  EXPECT_EQ(source->reads, 2);
  EXPECT_EQ(S(top), R"([{"a":[1,2]},{"b":3},[4]])");
  EXPECT_EQ(source->reads, 5);
}

TEST(Lazy, SourcesWithoutSingleMembersReadTheWholeObjectOnce) {
  auto source = Rc<TestSource>::make(Json::parse(R"({"a":1,"b":{"c":2}})"), false);
  auto shared = Shared::create();
  Value top = source->top(shared);
  EXPECT_EQ(S(read_field(top.as_object(), "a")), "1");
  EXPECT_EQ(S(read_field(top.as_object(), "b")), R"({"c":2})");
  EXPECT_TRUE(read_field(top.as_object(), "z").is_undefined());
  EXPECT_EQ(source->reads, 2);  // the object once, then "b"
}

TEST(Lazy, FailuresKeepTheFirstTextAndEmptyTheContainer) {
  auto source = Rc<TestSource>::make(Json::parse(R"({"list":[1,2,3],"obj":{"x":1}})"));
  auto shared = Shared::create();
  Value top = source->top(shared);
  Value list = read_field(top.as_object(), "list");
  Value obj = read_field(top.as_object(), "obj");
  source->fail_index = 1;
  EXPECT_TRUE(list.as_array().read().empty());
  EXPECT_TRUE(shared->failed);
  source->fail_index = 2;
  EXPECT_TRUE(read_field(obj.as_object(), "x").is_undefined());
  EXPECT_EQ(obj.as_object().borrow()->size(), 0u);
  source->fail_index = -1;
  EXPECT_TRUE(list.as_array().read().empty());  // never read again
  auto out = to_json(output::Output{top, 1 << 20, shared.get()});
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().code(), "U1004");
  EXPECT_EQ(out.error().message(), "The input could not be read: cannot read container 1");
}

TEST(Lazy, JsonData) {
  auto shared = Shared::create();
  Value empty_array = lazy(std::make_shared<const Json>(Json::array()), shared);
  EXPECT_FALSE(empty_array.as_array().lazy);
  Value empty_object = lazy(std::make_shared<const Json>(Json::object()), shared);
  EXPECT_EQ(empty_object.as_object().read_state, 2);
  Value o = lazy(std::make_shared<const Json>(Json::parse(R"({"a":{"b":1},"c":2,"d":[1]})")), shared);
  Value a = read_field(o.as_object(), "a");
  EXPECT_EQ(o.as_object().read_state, 1);
  EXPECT_EQ(S(o), R"({"a":{"b":1},"c":2,"d":[1]})");
  EXPECT_TRUE(o.as_object().borrow()->begin()->second.same_payload(a));
  // Keys of one input are interned once.
  Value d = lazy(std::make_shared<const Json>(Json::parse(R"([{"name":1},{"name":2}])")), shared);
  const Items& items = d.as_array().read();
  EXPECT_EQ(items[0].as_object().borrow()->begin()->first.rep(),
            items[1].as_object().borrow()->begin()->first.rep());
}

TEST(Lazy, MembersOfJsonDataLookedUpOneByOne) {
  auto shared = Shared::create();
  for (int n : {4, 60}) {
    Json data = big_object(n);
    data.get_ref<Json::object_t&>().emplace_back("k1", "repeated");  // the first of a repeated key counts
    Value o = lazy(std::make_shared<const Json>(std::move(data)), shared);
    for (int round = 0; round < 3; ++round) {
      for (int i = 0; i < n; ++i)
        EXPECT_EQ(S(read_field(o.as_object(), "k" + std::to_string(i))), std::to_string(i));
      EXPECT_TRUE(read_field(o.as_object(), "missing").is_undefined());
      EXPECT_TRUE(read_field(o.as_object(), "").is_undefined());
    }
    EXPECT_EQ(o.as_object().read_state, 0);  // scalars are not stored
    Value child = read_field(o.as_object(), "child");
    EXPECT_TRUE(read_field(o.as_object(), "child").same_payload(child));
    EXPECT_EQ(S(o).substr(0, 11), R"({"k0":0,"k1)");
  }
}

TEST(Lazy, ValuesKeepTheirJsonDataAlive) {
  Value kept;
  {
    auto data = std::make_shared<const Json>(Json::parse(R"({"deep":{"list":[{"x":"still here"}]}})"));
    Value o = lazy(data, Shared::create());
    kept = read_field(o.as_object(), "deep");
  }
  EXPECT_EQ(S(kept), R"({"list":[{"x":"still here"}]})");
}

TEST(Sink, Targets) {
  auto shared = Shared::create();
  Fields fields = make_fields();
  Sink to_object(fields, shared);
  to_object.push(Value::number(1));  // no pending key: released
  EXPECT_TRUE(fields.empty());
  to_object.set_key(std::string_view("k"));
  to_object.push(Value::number(2));
  to_object.set_key(std::string_view("k"));
  to_object.push(Value::number(3));
  ASSERT_EQ(fields.size(), 1u);
  EXPECT_EQ(S(fields.begin()->second), "3");
  Value slot;
  Sink to_slot(slot, shared);
  to_slot.push(Value::string("first"));
  to_slot.push(Value::string("second"));
  EXPECT_EQ(S(slot), "\"first\"");
}

// A lazy object's block holds its pending source too, and goes back to the pool with that size; an object
// made whole goes back with its own. Blocks handed out again afterwards in either size are filled whole:
// one released under the wrong size would overrun its neighbours.
TEST(Lazy, ObjectBlocksGoBackWithTheirOwnSize) {
  auto shared = Shared::create();
  auto data = std::make_shared<const Json>(Json::parse(R"({"a":{"b":1},"c":[{"d":2}]})"));
  {
    std::vector<Value> made;
    for (int i = 0; i < 200; ++i) {
      made.push_back(lazy(*data, shared));
      made.push_back(Value::object());
      if (i % 2) {
        EXPECT_EQ(S(read_field(read_field(made[made.size() - 2].as_object(), "a").as_object(), "b")), "1");
      }
    }
  }
  std::vector<std::pair<unsigned char*, std::size_t>> blocks;
  for (int i = 0; i < 400; ++i)
    for (std::size_t n : {sizeof(Object), kLazyObjectBytes}) {
      auto* p = static_cast<unsigned char*>(pool::allocate(n));
      std::memset(p, static_cast<unsigned char>(blocks.size()), n);
      blocks.emplace_back(p, n);
    }
  for (std::size_t k = 0; k < blocks.size(); ++k)
    for (std::size_t i = 0; i < blocks[k].second; ++i)
      ASSERT_EQ(blocks[k].first[i], static_cast<unsigned char>(k));
  for (auto [p, n] : blocks) pool::release(p, n);
}
