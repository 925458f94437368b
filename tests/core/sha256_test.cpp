#include "core/sha256.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using tessarin::core::Sha256;
using tessarin::core::sha256_has_sha_extensions;
using tessarin::core::Sha256Engine;

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

// A deliberately plain SHA-256: pads the whole message in memory, then runs
// the textbook compression over it. Shares no code with the library, so it
// checks the library's buffering and padding as well as its block functions.
std::array<std::uint8_t, 32> reference_sha256(const std::vector<std::uint8_t>& message) {
  static const std::uint32_t k[64] = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
      0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
      0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
      0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
      0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
      0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
      0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
      0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
      0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };

  std::vector<std::uint8_t> padded = message;
  padded.push_back(0x80);
  while (padded.size() % 64 != 56) {
    padded.push_back(0);
  }
  const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
  for (int shift = 56; shift >= 0; shift -= 8) {
    padded.push_back(static_cast<std::uint8_t>(bits >> shift));
  }

  std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  for (std::size_t block = 0; block < padded.size(); block += 64) {
    std::uint32_t w[64];
    for (int t = 0; t < 64; ++t) {
      if (t < 16) {
        const std::uint8_t* p = &padded[block + 4 * static_cast<std::size_t>(t)];
        w[t] = std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
               std::uint32_t{p[3]};
      } else {
        const std::uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const std::uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
      }
    }
    std::uint32_t v[8];
    std::copy(h, h + 8, v);
    for (int t = 0; t < 64; ++t) {
      const std::uint32_t t1 = v[7] + (rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25)) +
                               ((v[4] & v[5]) ^ (~v[4] & v[6])) + k[t] + w[t];
      const std::uint32_t t2 = (rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22)) +
                               ((v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]));
      std::copy_backward(v, v + 7, v + 8);
      v[4] += t1;
      v[0] = t1 + t2;
    }
    for (int i = 0; i < 8; ++i) {
      h[i] += v[i];
    }
  }
  std::array<std::uint8_t, 32> digest;
  for (int i = 0; i < 32; ++i) {
    digest[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(h[i / 4] >> (24 - 8 * (i % 4)));
  }
  return digest;
}

TEST(Sha256Reference, KnowsTheNistVectors) {
  const std::string abc = "abc";
  EXPECT_EQ(tessarin::core::sha256_hex(reference_sha256({abc.begin(), abc.end()})),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(tessarin::core::sha256_hex(reference_sha256({})),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

// Every length across several buffer fills and both padding cases, fed in
// one piece, byte by byte and in pieces of 7 and 100 bytes.
TEST_P(Sha256EngineTest, EveryLengthUpTo700MatchesReference) {
  std::mt19937_64 rng(8);
  const auto message = random_bytes(rng, 700);
  for (std::size_t len = 0; len <= 700; ++len) {
    const std::vector<std::uint8_t> prefix(message.begin(),
                                           message.begin() + static_cast<std::ptrdiff_t>(len));
    const auto expected = reference_sha256(prefix);
    for (std::size_t piece : {len, std::size_t{1}, std::size_t{7}, std::size_t{100}}) {
      Sha256 sha(GetParam());
      for (std::size_t pos = 0; pos < len; pos += piece) {
        sha.update(prefix.data() + pos, std::min(piece, len - pos));
      }
      ASSERT_EQ(sha.finish(), expected) << "length " << len << " piece " << piece;
    }
  }
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
        case 0:
          chunk = rng() % 9;
          break;  // tiny, including empty
        case 1:
          chunk = rng() % 70;
          break;  // around a block
        default:
          chunk = rng() % 400;
          break;  // several blocks at once
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

// The kernel lists the instructions as "sha_ni" among the x86 "flags" and as
// "sha2" among the Arm "Features"; the default engine follows, unless the
// environment forces the portable one.
TEST(Sha256Engines, DetectionMatchesCpuinfo) {
  std::ifstream cpuinfo("/proc/cpuinfo");
  if (!cpuinfo) {
    GTEST_SKIP() << "no /proc/cpuinfo";
  }
  const std::pair<std::string, std::string> lists[] = {{"flags", " sha_ni "},
                                                       {"Features", " sha2 "}};
  std::string line;
  bool flags_seen = false;
  bool sha = false;
  while (!flags_seen && std::getline(cpuinfo, line)) {
    for (const auto& [key, flag] : lists) {
      if (line.rfind(key, 0) == 0) {
        flags_seen = true;
        sha = (line + " ").find(flag) != std::string::npos;
      }
    }
  }
  if (!flags_seen) {
    GTEST_SKIP() << "no flags or Features line in /proc/cpuinfo";
  }
  const bool expected = sha && std::getenv("_TESSARIN_SHA256_PORTABLE") == nullptr;
  EXPECT_EQ(sha256_has_sha_extensions(), expected);
  EXPECT_EQ(Sha256().engine(), expected ? Sha256Engine::ShaExtensions : Sha256Engine::Portable);
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
