#pragma once

#include "core/error.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin::core {

// What a backend's hardware offers. A backend that knows nothing about its
// device reports the default record: memory unknown, no compute units and
// no optional feature.
struct BackendCapabilities {
  // Device memory usable by stages, in bytes; absent when unknown.
  std::optional<std::uint64_t> memory_bytes;
  // Parallel compute units (cores, streaming multiprocessors, ...).
  std::uint32_t compute_units = 0;
  // Half-precision and bfloat16 arithmetic.
  bool supports_f16 = false;
  bool supports_bf16 = false;
  // Work can be queued and run while the host continues.
  bool supports_async = false;

  friend bool operator==(const BackendCapabilities&, const BackendCapabilities&) = default;
};

// The hardware target a build context holds and a pipeline stage sees.
//
// A stage reads the backend through a `const Backend&`, so every operation is
// const: a backend with device state of its own guards it internally. Each
// concrete backend is a value type, so a run started in the background takes
// its own copy of the context's backend.
class Backend {
 public:
  virtual ~Backend() = default;

  // Short name of the implementation ("null").
  virtual std::string_view name() const noexcept = 0;
  // The device this backend targets, as given at construction ("cpu").
  virtual const std::string& device() const noexcept = 0;
  virtual BackendCapabilities capabilities() const = 0;
  // Whether the device can be used right now.
  virtual bool is_available() const noexcept = 0;
  // Blocks until all work queued on the device has finished. Returns nothing
  // on success, or the failure (usually of kind Backend).
  virtual std::optional<CoreError> synchronize() const = 0;
  // Ensures that at least `bytes` bytes of device scratch memory are
  // reserved for stages. Returns nothing on success, or the failure (for
  // example a Backend error when the device has too little memory).
  virtual std::optional<CoreError> allocate_workspace(std::uint64_t bytes) const = 0;

 protected:
  Backend() = default;
  Backend(const Backend&) = default;
  Backend& operator=(const Backend&) = default;
};

// The reference backend: computes nothing, reports no capability, is always
// available and succeeds at every operation without any effect.
class NullBackend final : public Backend {
 public:
  explicit NullBackend(std::string device) : device_(std::move(device)) {}
  static NullBackend cpu() { return NullBackend("cpu"); }

  NullBackend(const NullBackend&) = default;
  NullBackend(NullBackend&&) noexcept = default;
  NullBackend& operator=(const NullBackend&) = default;
  NullBackend& operator=(NullBackend&&) noexcept = default;
  ~NullBackend() override = default;

  std::string_view name() const noexcept override;
  const std::string& device() const noexcept override { return device_; }
  BackendCapabilities capabilities() const override { return {}; }
  bool is_available() const noexcept override { return true; }
  std::optional<CoreError> synchronize() const override { return std::nullopt; }
  std::optional<CoreError> allocate_workspace(std::uint64_t) const override { return std::nullopt; }

 private:
  std::string device_;
};

}  // namespace tessarin::core
