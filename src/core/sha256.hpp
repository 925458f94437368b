// Streaming SHA-256 (FIPS 180-4) with a run-time choice of block function.
//
// Two block functions compute the same digest: a portable one, and one built
// on the processor's SHA-256 instructions (the SHA extensions, SHA-NI, on x86;
// the ARMv8 SHA-2 instructions on aarch64 Linux). The faster one is picked
// once per process (from CPUID on x86, from the kernel's HWCAP_SHA2 on Arm),
// so no global compiler flag is needed and the library still runs on
// processors without those instructions.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace tessarin::core {

// ShaExtensions names the engine on the processor's SHA-256 instructions,
// whichever of the two this build has.
enum class Sha256Engine { Portable, ShaExtensions };

// True when the processor offers those instructions (on x86, SHA-NI together
// with SSSE3 and SSE4.1) and the environment does not force the portable
// engine (_TESSARIN_SHA256_PORTABLE, see sha256.cpp). Queried once, then cached.
bool sha256_has_sha_extensions() noexcept;

// Writes a digest as 64 lowercase hexadecimal digits, high nibble first.
std::string sha256_hex(const std::array<std::uint8_t, 32>& digest);

class Sha256 {
 public:
  // Processes `count` consecutive 64-byte blocks into the eight state words.
  using BlockFunction = void (*)(std::uint32_t* state, const std::uint8_t* blocks,
                                 std::size_t count) noexcept;

  // Uses the fastest engine the processor supports.
  Sha256() noexcept;
  // Forces an engine; ShaExtensions falls back to Portable when the processor
  // lacks it (engine() then reports Portable).
  explicit Sha256(Sha256Engine engine) noexcept;

  Sha256Engine engine() const noexcept;

  void update(const void* data, std::size_t size) noexcept {
    const std::size_t used = static_cast<std::size_t>(length_ % kBufferSize);
    // Most updates of the graph hash are short (identifiers, names); they
    // only land in the buffer.
    if (size < kBufferSize - used) {
      if (size != 0) {
        std::memcpy(buffer_ + used, data, size);
      }
      length_ += size;
      return;
    }
    update_blocks(static_cast<const std::uint8_t*>(data), size, used);
  }

  void update(std::string_view bytes) noexcept { update(bytes.data(), bytes.size()); }

  // Feeds the 8 bytes of `value` in little-endian order, whatever the host order.
  void update_u64_le(std::uint64_t value) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
      update(&value, sizeof value);
    } else {
      std::uint8_t bytes[8];
      for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
      }
      update(bytes, sizeof bytes);
    }
  }

  // Pads the message, returns its digest and resets the object, which can
  // then hash a new message.
  std::array<std::uint8_t, 32> finish() noexcept;
  std::string finish_hex();

 private:
  // The buffer holds several blocks, so the block function runs on a batch:
  // its call and the rearranging of the state are shared by four blocks, and
  // the bytes just copied in have left the store buffer by the time most of
  // them are read back.
  static constexpr std::size_t kBufferSize = 256;

  void reset() noexcept;
  void update_blocks(const std::uint8_t* data, std::size_t size, std::size_t used) noexcept;

  std::uint32_t state_[8];
  std::uint64_t length_;  // bytes fed so far; length_ % kBufferSize are in buffer_
  BlockFunction blocks_;
  std::uint8_t buffer_[kBufferSize] = {};
};

}  // namespace tessarin::core
