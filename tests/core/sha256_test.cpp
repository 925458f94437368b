#include "core/sha256.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using tessarin::core::Sha256;
using tessarin::core::Sha256Engine;
using tessarin::core::sha256_has_sha_extensions;

const char* engine_name(Sha256Engine engine) {
  return engine == Sha256Engine::Portable ? "Portable" : "ShaExtensions";
}

void skip_without(Sha256Engine engine) {
  if (engine == Sha256Engine::ShaExtensions && !sha256_has_sha_extensions()) {
    GTEST_SKIP() << "processor lacks the SHA extensions";
  }
}

std::string hash_hex(Sha256Engine engine, std::string_view message) {
  Sha256 sha(engine);
  sha.update(message);
  return sha.finish_hex();
}

class Sha256EngineTest : public ::testing::TestWithParam<Sha256Engine> {
protected:
  void SetUp() override { skip_without(GetParam()); }
};

INSTANTIATE_TEST_SUITE_P(Engines, Sha256EngineTest,
                         ::testing::Values(Sha256Engine::Portable, Sha256Engine::ShaExtensions),
                         [](const auto& info) { return std::string(engine_name(info.param)); });

TEST_P(Sha256EngineTest, ReportsTheEngineItRuns) {
  EXPECT_EQ(Sha256(GetParam()).engine(), GetParam());
}

struct Vector {
  std::string message;
  const char* digest;
};

TEST_P(Sha256EngineTest, NistVectors) {
  const Vector vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlm"
       "nopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.message.substr(0, 20));
    EXPECT_EQ(hash_hex(GetParam(), v.message), v.digest);
  }
}

// One million 'a' fed in pieces that straddle block boundaries in every way.
TEST_P(Sha256EngineTest, MillionAInOddPieces) {
  Sha256 sha(GetParam());
  const std::string piece(997, 'a');
  std::size_t fed = 0;
  while (fed + piece.size() <= 1000000) {
    sha.update(piece);
    fed += piece.size();
  }
  sha.update(piece.data(), 1000000 - fed);
  EXPECT_EQ(sha.finish_hex(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// The identifier/name/JSON stream of a two-node graph with one edge, fed the
// way the graph hash feeds it, and the prefix holding only the first node.
TEST_P(Sha256EngineTest, GraphStreamWithLittleEndianIdentifiers) {
  Sha256 sha(GetParam());
  sha.update_u64_le(1);
  sha.update("encoder");
  sha.update(R"({"name":"encoder","version":"1.0.0","params":{}})");
  Sha256 first_only = sha;
  EXPECT_EQ(first_only.finish_hex(),
            "8d888713d257f2152ce0a955e70d031b29191786d73e577c81bdb27618235ffb");

  sha.update_u64_le(2);
  sha.update("decoder");
  sha.update(R"({"name":"decoder","version":"1.0.0","params":{"layers":12}})");
  sha.update_u64_le(1);
  sha.update_u64_le(2);
  EXPECT_EQ(sha.finish_hex(), "fbbb9d71577e1f2d04aedec23df2205b2bb3eb5b021502794eb5db0b477f88af");
}

TEST_P(Sha256EngineTest, U64IsLittleEndianBytes) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200; ++i) {
    const std::uint64_t value = rng();
    std::string bytes;
    for (int b = 0; b < 8; ++b) {
      bytes.push_back(static_cast<char>((value >> (8 * b)) & 0xff));
    }
    Sha256 a(GetParam());
    Sha256 b(GetParam());
    // Shift the buffer position so the 8 bytes cross a block boundary at times.
    const std::string prefix(static_cast<std::size_t>(i % 64), 'p');
    a.update(prefix);
    b.update(prefix);
    a.update_u64_le(value);
    b.update(bytes);
    ASSERT_EQ(a.finish_hex(), b.finish_hex()) << value;
  }
}

TEST_P(Sha256EngineTest, FinishStartsANewMessage) {
  Sha256 sha(GetParam());
  sha.update("some earlier message that is longer than one block, some earlier message");
  (void)sha.finish();
  sha.update("abc");
  EXPECT_EQ(sha.finish_hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

std::vector<std::uint8_t> random_bytes(std::mt19937_64& rng, std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) {
    b = static_cast<std::uint8_t>(rng());
  }
  return bytes;
}

// Chunked feeding must give the digest of the whole message, whatever the
// split: many tiny updates, updates that fill the buffer exactly, long runs
// of full blocks after a partial one.
TEST_P(Sha256EngineTest, RandomChunksMatchOneShot) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 300; ++round) {
    const std::size_t size = rng() % 2000;
    const auto message = random_bytes(rng, size);
    Sha256 whole(GetParam());
    whole.update(message.data(), message.size());
    const auto expected = whole.finish();

    Sha256 chunked(GetParam());
    std::size_t pos = 0;
    const int style = round % 3;
    while (pos < size) {
      std::size_t chunk = 0;
      switch (style) {
        case 0: chunk = rng() % 9; break;         // tiny, including empty
        case 1: chunk = rng() % 70; break;        // around a block
        default: chunk = rng() % 400; break;      // several blocks at once
      }
      chunk = std::min(chunk, size - pos);
      chunked.update(message.data() + pos, chunk);
      pos += chunk;
    }
    ASSERT_EQ(chunked.finish(), expected) << "size " << size << " style " << style;
  }
}

// Every length around the padding boundaries (55/56/63/64 bytes and their
// multiples) computed by both engines, one shot and byte by byte.
TEST(Sha256Engines, AgreeOnEveryLengthUpTo300) {
  if (!sha256_has_sha_extensions()) {
    GTEST_SKIP() << "processor lacks the SHA extensions";
  }
  std::mt19937_64 rng(99);
  const auto message = random_bytes(rng, 300);
  for (std::size_t len = 0; len <= 300; ++len) {
    Sha256 portable(Sha256Engine::Portable);
    Sha256 native(Sha256Engine::ShaExtensions);
    portable.update(message.data(), len);
    for (std::size_t i = 0; i < len; ++i) {
      native.update(message.data() + i, 1);
    }
    ASSERT_EQ(portable.finish(), native.finish()) << "length " << len;
  }
}

TEST(Sha256Engines, AgreeOnLongRandomMessages) {
  if (!sha256_has_sha_extensions()) {
    GTEST_SKIP() << "processor lacks the SHA extensions";
  }
  std::mt19937_64 rng(4242);
  for (int round = 0; round < 50; ++round) {
    const auto message = random_bytes(rng, 64 * (rng() % 100) + rng() % 64);
    Sha256 portable(Sha256Engine::Portable);
    Sha256 native(Sha256Engine::ShaExtensions);
    portable.update(message.data(), message.size());
    native.update(message.data(), message.size());
    ASSERT_EQ(portable.finish(), native.finish()) << "size " << message.size();
  }
}

TEST(Sha256Engines, DetectionMatchesCpuinfo) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  if (!cpuinfo) {
    GTEST_SKIP() << "no /proc/cpuinfo";
  }
  std::string line;
  bool flags_seen = false;
  bool sha_ni = false;
  while (std::getline(cpuinfo, line)) {
    if (line.rfind("flags", 0) == 0) {
      flags_seen = true;
      sha_ni = (line + " ").find(" sha_ni ") != std::string::npos;
      break;
    }
  }
  if (!flags_seen) {
    GTEST_SKIP() << "no x86 flags line in /proc/cpuinfo";
  }
  EXPECT_EQ(sha256_has_sha_extensions(), sha_ni);
  EXPECT_EQ(Sha256().engine(), sha_ni ? Sha256Engine::ShaExtensions : Sha256Engine::Portable);
}

TEST(Sha256Engines, FallbackWithoutExtensionsIsPortable) {
  if (sha256_has_sha_extensions()) {
    GTEST_SKIP() << "processor has the SHA extensions";
  }
  EXPECT_EQ(Sha256(Sha256Engine::ShaExtensions).engine(), Sha256Engine::Portable);
}

TEST(Sha256Hex, LowercaseHighNibbleFirst) {
  std::array<std::uint8_t, 32> digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) {
    digest[i] = static_cast<std::uint8_t>(i * 8 + 0x0f);
  }
  std::string expected;
  char pair[3];
  for (auto b : digest) {
    std::snprintf(pair, sizeof pair, "%02x", b);
    expected += pair;
  }
  EXPECT_EQ(tessarin::core::sha256_hex(digest), expected);
}

}  // namespace
