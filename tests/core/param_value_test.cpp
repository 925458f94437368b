#include "core/param_value.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <map>
#include <pthread.h>
#include <thread>

namespace tessarin::core {
namespace {

TEST(ParamMap, KeysIterateInUnsignedByteOrder) {
  ParamMap map;
  const std::vector<std::string> keys = {"b", "\xc3\xa9", "ab", "a", "Z", "", "\x7f", "a\x01"};
  for (const auto& k : keys) map.insert_or_assign(k, ParamValue::uinteger(k.size()));
  std::vector<std::string> seen;
  for (const auto& e : map) seen.push_back(e.key.str());
  EXPECT_EQ(seen, (std::vector<std::string>{"", "Z", "a", "a\x01", "ab", "b", "\x7f", "\xc3\xa9"}));
}

TEST(ParamMap, InsertReplacesAndFromUnsortedKeepsTheLaterValue) {
  ParamMap map;
  map.insert_or_assign("k", ParamValue::uinteger(1));
  map.insert_or_assign("k", ParamValue::string("two"));
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.find("k")->as_string(), "two");
  EXPECT_EQ(map.find("missing"), nullptr);

  std::vector<ParamEntry> entries;
  entries.push_back({ParamKey("b"), ParamValue::uinteger(1)});
  entries.push_back({ParamKey("a"), ParamValue::uinteger(2)});
  entries.push_back({ParamKey("b"), ParamValue::uinteger(3)});
  entries.push_back({ParamKey("a"), ParamValue::uinteger(4)});
  ParamMap built = ParamMap::from_unsorted(std::move(entries));
  ASSERT_EQ(built.size(), 2u);
  EXPECT_EQ(built[0].key.view(), "a");
  EXPECT_EQ(built[0].value.as_u64(), 4u);
  EXPECT_EQ(built[1].value.as_u64(), 3u);
}

TEST(ParamMap, RandomInsertsMatchAReferenceMap) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    ParamMap map;
    std::vector<ParamEntry> unsorted;
    std::map<std::string, std::uint64_t> reference;  // std::string orders bytes as unsigned
    for (int i = 0; i < 40; ++i) {
      std::string key;
      for (int n = rng() % 4; n > 0; --n) key.push_back(static_cast<char>(rng() % 256));
      std::uint64_t v = rng();
      map.insert_or_assign(key, ParamValue::uinteger(v));
      unsorted.push_back({ParamKey(key), ParamValue::uinteger(v)});
      reference[key] = v;
    }
    ParamMap built = ParamMap::from_unsorted(std::move(unsorted));
    ASSERT_EQ(map.size(), reference.size());
    ASSERT_TRUE(map == built);
    std::size_t i = 0;
    for (const auto& [k, v] : reference) {
      EXPECT_EQ(map[i].key.view(), k);
      EXPECT_EQ(map[i].value.as_u64(), v);
      ++i;
    }
  }
}

TEST(ParamValue, ScalarsKeepTheirRepresentation) {
  EXPECT_EQ(ParamValue::from_int64(5).kind(), ParamKind::UInt);
  EXPECT_EQ(ParamValue::from_int64(-5).kind(), ParamKind::Int);
  EXPECT_EQ(ParamValue::real(1.0).kind(), ParamKind::Float);
  EXPECT_EQ(ParamValue::real(std::numeric_limits<double>::quiet_NaN()).kind(), ParamKind::Null);
  EXPECT_EQ(ParamValue::real(-std::numeric_limits<double>::infinity()).kind(), ParamKind::Null);
  EXPECT_FALSE(ParamValue::uinteger(1) == ParamValue::real(1.0));
  EXPECT_FALSE(ParamValue::real(0.0) == ParamValue::real(-0.0));
  EXPECT_TRUE(ParamValue::string("") == ParamValue::string(std::string_view()));
}

ParamValue nested(int depth) {
  ParamValue v = ParamValue::string("leaf");
  for (int i = 0; i < depth; ++i) {
    if (i % 2) {
      std::vector<ParamValue> items;
      items.push_back(std::move(v));
      v = ParamValue::array(std::move(items));
    } else {
      ParamMap m;
      m.insert_or_assign("k", std::move(v));
      v = ParamValue::object(std::move(m));
    }
  }
  return v;
}

TEST(ParamValue, CopiesAreIndependentOfTheOriginalsLifetime) {
  ParamValue copy;
  {
    ParamValue original = nested(10);
    copy = original;
    EXPECT_TRUE(copy == original);
  }
  EXPECT_EQ(copy.depth(), 10);
  ParamValue moved = std::move(copy);
  EXPECT_EQ(copy.kind(), ParamKind::Null);
  EXPECT_TRUE(moved == nested(10));
}

TEST(ParamValue, DepthLimitValuesAreSafeOnASmallStack) {
  // Build, copy, compare and destroy a value at the nesting limit on a thread
  // whose stack is as small as the one Python's threading.stack_size allows.
  bool ok = false;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  pthread_t thread;
  auto body = [](void* arg) -> void* {
    ParamValue v = nested(kMaxParamDepth);
    ParamValue w = v;
    *static_cast<bool*>(arg) = v.depth() == kMaxParamDepth && v == w;
    return nullptr;
  };
  ASSERT_EQ(pthread_create(&thread, &attr, body, &ok), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_TRUE(ok);
}

TEST(ParamValue, SharedValuesSurviveConcurrentRelease) {
  ParamValue shared = nested(20);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([copy = shared]() mutable {
      for (int i = 0; i < 10000; ++i) {
        ParamValue again = copy;
        copy = again;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(shared.depth(), 20);
}

TEST(ParamArena, ValuesOutliveTheBuilderAndKeepForeignBlocksAlive) {
  ParamValue foreign = nested(3);  // a standalone tree adopted by the arena
  ParamValue root;
  ParamValue inner_copy;
  {
    ParamArena arena;
    std::vector<ParamValue> items;
    items.push_back(arena.string("a string longer than the inline area"));
    items.push_back(foreign);
    std::vector<ParamEntry> entries;
    entries.push_back({ParamKey("z"), ParamValue::uinteger(1)});
    entries.push_back({ParamKey("a key longer than thirteen bytes"), arena.array(items)});
    entries.push_back({ParamKey("z"), ParamValue::uinteger(2)});
    root = arena.object_from_unsorted(entries);
    inner_copy = root.as_object()[0].value.as_array()[0];  // a sub-value shared out
  }
  ParamMapView map = root.as_object();
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map[0].key.view(), "a key longer than thirteen bytes");
  EXPECT_EQ(map[1].value.as_u64(), 2u);
  EXPECT_TRUE(map[0].value.as_array()[1] == nested(3));
  foreign = ParamValue();
  root = ParamValue();  // the arena stays alive through inner_copy
  EXPECT_EQ(inner_copy.as_string(), "a string longer than the inline area");
}

TEST(ParamArena, ConcurrentReleaseOfSharedArenaValues) {
  ParamValue shared;
  {
    ParamArena arena;
    std::vector<ParamValue> items;
    for (int i = 0; i < 100; ++i) items.push_back(arena.string(std::string(20 + i % 7, 'x')));
    shared = arena.array(items);
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([copy = shared]() mutable {
      for (int i = 0; i < 10000; ++i) {
        ParamValue item = copy.as_array()[static_cast<std::size_t>(i % 100)];
        copy = ParamValue(copy);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(shared.as_array().size(), 100u);
}

TEST(ParamBuilder, ShortStringsBuiltInRegistersMatchTheCopiedLayout) {
  std::mt19937 rng(3);
  char bytes[16];
  for (int round = 0; round < 2000; ++round) {
    for (char& c : bytes) c = static_cast<char>(rng() % 4 == 0 ? 0 : rng());
    const std::size_t size = round % (ParamValue::kInlineStringCapacity + 1);
    const RawParam raw = ParamValue::raw_short_string(bytes, size);
    const ParamValue copied = ParamValue::string(std::string_view(bytes, size));
    std::uint64_t words[2];
    std::memcpy(words, static_cast<const void*>(&copied), 16);
    ASSERT_EQ(raw.head, words[0]) << size;
    ASSERT_EQ(raw.bits, words[1]) << size;
    bytes[size] = 0;  // the terminated form also reads the NUL
    const RawParam terminated = ParamValue::raw_short_string(bytes, size, true);
    ASSERT_EQ(terminated.head, words[0]) << size;
    ASSERT_EQ(terminated.bits, words[1]) << size;
  }
}

TEST(ParamBuilder, ObjectsSortLikeAReferenceMapAndOutliveTheBuilder) {
  std::mt19937 rng(11);
  // Keys that tie on their first 8 or 16 bytes, embed NULs, and repeat.
  const std::vector<std::string> stems = {"",
                                          "a",
                                          "key_0000",
                                          "key_0000_0000_00",
                                          "\xff",
                                          std::string("a\0", 2),
                                          "a longer key than sixteen bytes"};
  for (std::size_t n : {0, 1, 2, 7, 31, 32, 33, 200, 300, 5000}) {
    ParamValue root;
    std::map<std::string, std::uint64_t> reference;
    {
      ParamBuilder builder;
      RawParam object;
      ParamEntry* slots = builder.object(n, object);
      for (std::size_t i = 0; i < n; ++i) {
        std::string key = stems[rng() % stems.size()];
        for (int extra = rng() % 3; extra > 0; --extra)
          key.push_back(static_cast<char>(rng() % 3 + '0'));
        ParamBuilder::set(slots + i, builder.string(key), ParamValue::raw_uint(i));
        reference[key] = i;
      }
      ParamBuilder::sort_object(object);
      root = builder.finish(object);
    }
    ParamMapView map = root.as_object();
    ASSERT_EQ(map.size(), reference.size()) << n;
    std::size_t i = 0;
    for (const auto& [key, value] : reference) {
      EXPECT_EQ(map[i].key.view(), key);
      EXPECT_EQ(map[i].value.as_u64(), value);
      ++i;
    }
  }
}

TEST(ParamBuilder, RepeatedKeySetsSortLikeFreshOnes) {
  // The same keys again (the remembered order), a set differing in one key
  // or in length only ("a" and "a\0"), repeats, and an already sorted set.
  const std::vector<std::vector<std::string>> sets = {{"units", "name", "bias"},
                                                      {"units", "name", "bias"},
                                                      {"units", "name", "bias", "a"},
                                                      {"units", "name", "bias"},
                                                      {"units", "name", "bias"},
                                                      {"units", "nam", "bias"},
                                                      {"a", "b"},
                                                      {"a", "b"},
                                                      {"b", "a"},
                                                      {"b", "a", "b"},
                                                      {"b", "a", "b"},
                                                      {"a", std::string("a\0", 2)},
                                                      {std::string("a\0", 2), "a"},
                                                      {"b", "a"}};
  for (const auto& keys : sets) {
    ParamBuilder builder;
    RawParam object;
    ParamEntry* slots = builder.object(keys.size(), object);
    std::map<std::string, std::uint64_t> reference;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      ParamBuilder::set(slots + i, builder.string(keys[i]), ParamValue::raw_uint(i));
      reference[keys[i]] = i;
    }
    ParamBuilder::sort_object(object);
    ParamValue root = builder.finish(object);
    ParamMapView map = root.as_object();
    ASSERT_EQ(map.size(), reference.size());
    std::size_t i = 0;
    for (const auto& [key, value] : reference) {
      EXPECT_EQ(map[i].key.view(), key);
      EXPECT_EQ(map[i].value.as_u64(), value);
      ++i;
    }
  }
}

}  // namespace
}  // namespace tessarin::core
