// A hashed index of the members of a JSON object by key: the JSON library looks a key up by scanning, so
// code that looks up or de-duplicates keys in large objects keeps one of these beside the object.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "support/hash.hpp"
#include "value/error.hpp"

namespace zarnu_core::json {

// Positions of members by key. It refers to the member map by address, which stays put when the JSON
// value holding the map moves, and to keys by position, so that no key is copied.
class MemberIndex {
 public:
  using Members = Json::object_t;

  // Indexes the members present; of a repeated key, the first. Room is made for as many members as the
  // map has room for, so that an object built to a known size is indexed without growing the index.
  explicit MemberIndex(const Members& members)
      : set_(std::max(members.size() * 2, members.capacity()), Hash{&members, hash::map_seed()},
             Eq{&members}) {
    for (std::size_t i = 0; i < members.size(); ++i) set_.insert(i);
  }
  MemberIndex(const MemberIndex&) = delete;
  MemberIndex& operator=(const MemberIndex&) = delete;

  // The position of the member with this key.
  std::optional<std::size_t> find(std::string_view key) const {
    auto it = set_.find(key);
    if (it == set_.end()) return std::nullopt;
    return *it;
  }
  // Indexes the member just appended to the map.
  void add_last() { set_.insert(set_.hash_function().members->size() - 1); }

 private:
  static std::string_view key_at(const Members* members, std::size_t i) noexcept {
    return members->begin()[static_cast<std::ptrdiff_t>(i)].first;
  }
  struct Hash {
    using is_transparent = void;
    const Members* members;
    std::uint64_t seed;
    std::size_t operator()(std::size_t i) const noexcept { return hash::bytes(key_at(members, i), seed); }
    std::size_t operator()(std::string_view key) const noexcept { return hash::bytes(key, seed); }
  };
  struct Eq {
    using is_transparent = void;
    const Members* members;
    bool operator()(std::size_t a, std::size_t b) const noexcept {
      return key_at(members, a) == key_at(members, b);
    }
    bool operator()(std::string_view key, std::size_t i) const noexcept { return key == key_at(members, i); }
    bool operator()(std::size_t i, std::string_view key) const noexcept { return key == key_at(members, i); }
  };
  boost::unordered_flat_set<std::size_t, Hash, Eq> set_;
};

// Inserts members into JSON objects being built where a key may repeat: a key inserted twice keeps its
// first position and takes the later value. Few members are checked by a scan; past that, each object
// gets an index, made on first need and kept by the address of its member map.
class MemberInserter {
 public:
  // To be told of each new object: an index left by an object that lived at the same address is dropped.
  void started(const MemberIndex::Members& members) {
    if (indexes_) indexes_->erase(&members);
  }

  void insert(MemberIndex::Members& members, std::string_view key, Json value) {
    if (members.size() < kScanned) {
      for (auto& member : members)
        if (member.first == key) {
          member.second = std::move(value);
          return;
        }
      members.emplace_back(std::string(key), std::move(value));
      return;
    }
    if (!indexes_) indexes_ = std::make_unique<Indexes>();
    std::unique_ptr<MemberIndex>& index = (*indexes_)[&members];
    if (!index) index = std::make_unique<MemberIndex>(members);
    if (auto at = index->find(key)) {
      members.begin()[static_cast<std::ptrdiff_t>(*at)].second = std::move(value);
      return;
    }
    members.emplace_back(std::string(key), std::move(value));
    index->add_last();
  }

 private:
  static constexpr std::size_t kScanned = 8;
  using Indexes = boost::unordered_flat_map<const MemberIndex::Members*, std::unique_ptr<MemberIndex>>;
  std::unique_ptr<Indexes> indexes_;  // made for the first large object: most builders never need one
};

}  // namespace zarnu_core::json
