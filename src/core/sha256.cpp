#include "core/sha256.hpp"

#include <cstdlib>

#if defined(__x86_64__) || defined(__i386__)
#define TESSARIN_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#elif defined(__aarch64__) && defined(__linux__)
#define TESSARIN_SHA256_ARM 1
#include <arm_neon.h>
#include <sys/auxv.h>
#endif

namespace tessarin::core {
namespace {

alignas(64) constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t kInitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::uint32_t rotr(std::uint32_t x, int n) noexcept { return (x >> n) | (x << (32 - n)); }

inline std::uint32_t load_be32(const std::uint8_t* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

void blocks_portable(std::uint32_t* state, const std::uint8_t* data, std::size_t count) noexcept {
  std::uint32_t h0 = state[0], h1 = state[1], h2 = state[2], h3 = state[3];
  std::uint32_t h4 = state[4], h5 = state[5], h6 = state[6], h7 = state[7];
  for (; count != 0; --count, data += 64) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = load_be32(data + 4 * i);
    }
    for (int i = 16; i < 64; ++i) {
      const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = h0, b = h1, c = h2, d = h3, e = h4, f = h5, g = h6, h = h7;
    for (int i = 0; i < 64; ++i) {
      const std::uint32_t S1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
      const std::uint32_t ch = (e & f) ^ (~e & g);
      const std::uint32_t t1 = h + S1 + ch + kRoundConstants[i] + w[i];
      const std::uint32_t S0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
      const std::uint32_t maj = (a & b) ^ (a & c) ^ (b & c);
      const std::uint32_t t2 = S0 + maj;
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    h0 += a;
    h1 += b;
    h2 += c;
    h3 += d;
    h4 += e;
    h5 += f;
    h6 += g;
    h7 += h;
  }
  state[0] = h0;
  state[1] = h1;
  state[2] = h2;
  state[3] = h3;
  state[4] = h4;
  state[5] = h5;
  state[6] = h6;
  state[7] = h7;
}

#if defined(TESSARIN_SHA256_X86)

// The SHA-NI round instruction works on the state split as (A,B,E,F) and
// (C,D,G,H); the state is rearranged once on entry and once on exit, so all
// full blocks of one update run in this loop without going back to memory.
__attribute__((target("sha,sse4.1,ssse3"))) void blocks_sha_extensions(std::uint32_t* state,
                                                                       const std::uint8_t* data,
                                                                       std::size_t count) noexcept {
  // Byte swap of every 32-bit word: the message words are big-endian.
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);

  __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  const __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

  for (; count != 0; --count, data += 64) {
    const __m128i abef_start = abef;
    const __m128i cdgh_start = cdgh;

    // w[j] holds four message schedule words; w[g & 3] is the group of rounds
    // 4g..4g+3, replaced by group g + 4 as soon as it has been consumed.
    __m128i w[4];
    for (int j = 0; j < 4; ++j) {
      w[j] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * j)),
                              byte_swap);
    }
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      __m128i msg = _mm_add_epi32(
          w[g & 3], _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * g)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
      msg = _mm_shuffle_epi32(msg, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
      if (g < 12) {
        // W[t] = W[t-16] + s0(W[t-15]) + W[t-7] + s1(W[t-2]) for the next four t.
        const __m128i w0 = w[g & 3];
        const __m128i w1 = w[(g + 1) & 3];
        const __m128i w2 = w[(g + 2) & 3];
        const __m128i w3 = w[(g + 3) & 3];
        __m128i next = _mm_sha256msg1_epu32(w0, w1);
        next = _mm_add_epi32(next, _mm_alignr_epi8(w3, w2, 4));
        w[g & 3] = _mm_sha256msg2_epu32(next, w3);
      }
    }

    abef = _mm_add_epi32(abef, abef_start);
    cdgh = _mm_add_epi32(cdgh, cdgh_start);
  }

  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  dcba = _mm_blend_epi16(feba, dchg, 0xF0);
  hgfe = _mm_alignr_epi8(dchg, feba, 8);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), dcba);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), hgfe);
}

bool detect_sha_extensions() noexcept {
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) {
    return false;
  }
  const bool ssse3 = (ecx & (1u << 9)) != 0;
  const bool sse41 = (ecx & (1u << 19)) != 0;
  if (!ssse3 || !sse41) {
    return false;
  }
  // Leaf 7 may be absent on old processors; __get_cpuid_count checks the
  // highest supported leaf first.
  if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) == 0) {
    return false;
  }
  return (ebx & (1u << 29)) != 0;
}

#elif defined(TESSARIN_SHA256_ARM)

// The ARMv8 SHA-2 instructions keep the state as (A,B,C,D) and (E,F,G,H),
// the order it has in memory, so it needs no rearranging. "+crypto" is what
// GCC's arm_neon.h asks of a function using them; only this function gets it,
// so the rest of the library runs on any ARMv8 processor.
__attribute__((target("+crypto"))) void blocks_sha_extensions(std::uint32_t* state,
                                                              const std::uint8_t* data,
                                                              std::size_t count) noexcept {
  uint32x4_t abcd = vld1q_u32(state);
  uint32x4_t efgh = vld1q_u32(state + 4);

  for (; count != 0; --count, data += 64) {
    const uint32x4_t abcd_start = abcd;
    const uint32x4_t efgh_start = efgh;

    // w[g & 3] holds the message schedule words of rounds 4g..4g+3 (the
    // message words are big-endian), replaced by group g + 4 once consumed.
    uint32x4_t w[4];
    for (int j = 0; j < 4; ++j) {
      w[j] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(data + 16 * j)));
    }
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      const uint32x4_t wk = vaddq_u32(w[g & 3], vld1q_u32(kRoundConstants + 4 * g));
      if (g < 12) {
        // W[t] = W[t-16] + s0(W[t-15]) + W[t-7] + s1(W[t-2]) for the next four t.
        w[g & 3] = vsha256su1q_u32(vsha256su0q_u32(w[g & 3], w[(g + 1) & 3]), w[(g + 2) & 3],
                                   w[(g + 3) & 3]);
      }
      const uint32x4_t abcd_before = abcd;
      abcd = vsha256hq_u32(abcd, efgh, wk);
      efgh = vsha256h2q_u32(efgh, abcd_before, wk);
    }

    abcd = vaddq_u32(abcd, abcd_start);
    efgh = vaddq_u32(efgh, efgh_start);
  }

  vst1q_u32(state, abcd);
  vst1q_u32(state + 4, efgh);
}

// The kernel reports the instructions in the auxiliary vector: reading the
// ID registers directly would trap on kernels that do not emulate them.
bool detect_sha_extensions() noexcept { return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0; }

#else

bool detect_sha_extensions() noexcept { return false; }

#endif

// Set (to anything) in the environment of the process, this makes every hash
// run on the portable engine. Tests use it to check the fingerprints on that
// engine too where the processor has the instructions and no emulator offers
// a model without them. Read once while the library loads, before any thread
// of this library could race with a change of the environment.
const bool kForcePortable = std::getenv("_TESSARIN_SHA256_PORTABLE") != nullptr;

Sha256::BlockFunction block_function_for(Sha256Engine engine) noexcept {
#if defined(TESSARIN_SHA256_X86) || defined(TESSARIN_SHA256_ARM)
  if (engine == Sha256Engine::ShaExtensions && sha256_has_sha_extensions()) {
    return &blocks_sha_extensions;
  }
#else
  (void)engine;
#endif
  return &blocks_portable;
}

Sha256::BlockFunction best_block_function() noexcept {
  static const Sha256::BlockFunction best = block_function_for(Sha256Engine::ShaExtensions);
  return best;
}

}  // namespace

bool sha256_has_sha_extensions() noexcept {
  static const bool present = !kForcePortable && detect_sha_extensions();
  return present;
}

std::string sha256_hex(const std::array<std::uint8_t, 32>& digest) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text(64, '\0');
  for (std::size_t i = 0; i < digest.size(); ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 0x0f];
  }
  return text;
}

Sha256::Sha256() noexcept : blocks_(best_block_function()) { reset(); }

Sha256::Sha256(Sha256Engine engine) noexcept : blocks_(block_function_for(engine)) { reset(); }

Sha256Engine Sha256::engine() const noexcept {
  return blocks_ == &blocks_portable ? Sha256Engine::Portable : Sha256Engine::ShaExtensions;
}

void Sha256::reset() noexcept {
  std::memcpy(state_, kInitialState, sizeof state_);
  length_ = 0;
}

void Sha256::update_blocks(const std::uint8_t* data, std::size_t size, std::size_t used) noexcept {
  // Only whole buffers are processed here, so length_ % kBufferSize keeps
  // counting the bytes left in the buffer.
  length_ += size;
  if (used != 0) {
    const std::size_t fill = kBufferSize - used;
    std::memcpy(buffer_ + used, data, fill);
    blocks_(state_, buffer_, kBufferSize / 64);
    data += fill;
    size -= fill;
  }
  const std::size_t direct = size - size % kBufferSize;
  if (direct != 0) {
    blocks_(state_, data, direct / 64);
    data += direct;
    size -= direct;
  }
  if (size != 0) {
    std::memcpy(buffer_, data, size);
  }
}

std::array<std::uint8_t, 32> Sha256::finish() noexcept {
  const std::size_t used = static_cast<std::size_t>(length_ % kBufferSize);
  const std::size_t full = used / 64;
  if (full != 0) {
    blocks_(state_, buffer_, full);
  }
  // The tail and its padding: 0x80, zeros, and the bit length big-endian in
  // the last 8 bytes of the final block (a second block when the tail
  // leaves fewer than 9 bytes).
  const std::size_t tail = used % 64;
  std::uint8_t last[128] = {};
  std::memcpy(last, buffer_ + full * 64, tail);
  last[tail] = 0x80;
  const std::size_t last_size = tail < 56 ? 64 : 128;
  const std::uint64_t bit_length = length_ * 8;
  for (std::size_t i = 0; i < 8; ++i) {
    last[last_size - 1 - i] = static_cast<std::uint8_t>(bit_length >> (8 * i));
  }
  blocks_(state_, last, last_size / 64);

  std::array<std::uint8_t, 32> digest;
  for (int i = 0; i < 8; ++i) {
    digest[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
    digest[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
    digest[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
    digest[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
  }
  reset();
  return digest;
}

std::string Sha256::finish_hex() { return sha256_hex(finish()); }

}  // namespace tessarin::core
