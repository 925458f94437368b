#include "core/error.hpp"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace tessarin::core {
namespace {

static_assert(!std::is_copy_constructible_v<CoreError>);
static_assert(!std::is_copy_assignable_v<CoreError>);
static_assert(std::is_nothrow_move_constructible_v<CoreError>);
static_assert(std::is_nothrow_move_assignable_v<CoreError>);

// Display prefixes in kind order, written out independently of the library.
constexpr std::array<const char*, 7> kPrefixes = {
    "invalid configuration: ", "backend error: ", "build error: ", "validation error: ",
    "serialization error: ",   "io error: ",      "graph error: ",
};

TEST(ErrorKindTest, OrderAndPrefixes) {
  EXPECT_EQ(kErrorKindCount, kPrefixes.size());
  const std::array<ErrorKind, 7> in_order = {
      ErrorKind::InvalidConfiguration, ErrorKind::Backend, ErrorKind::Build, ErrorKind::Validation,
      ErrorKind::Serialization,        ErrorKind::Io,      ErrorKind::Graph,
  };
  for (std::size_t i = 0; i < in_order.size(); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(in_order[i]), i);
    EXPECT_EQ(error_kind_prefix(in_order[i]), kPrefixes[i]);
  }
}

// The reference rendering: collect the present parts, then join them.
std::string expected_display(std::size_t kind, const std::string& message,
                             const ErrorContext& ctx) {
  std::vector<std::string> parts;
  if (ctx.stage.has_value()) parts.push_back("stage: " + *ctx.stage);
  if (ctx.field.has_value()) parts.push_back("field: " + *ctx.field);
  if (ctx.details.has_value()) parts.push_back("details: " + *ctx.details);
  std::string text = std::string(kPrefixes[kind]) + message;
  if (parts.empty()) return text;
  text += " (";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += ", ";
    text += parts[i];
  }
  return text + ")";
}

// Every kind, with each context part absent, present but empty, or present
// with text; covers all eight presence combinations twice over.
TEST(CoreErrorTest, DisplayEveryKindAndContextCombination) {
  const std::array<std::optional<std::string>, 3> stage_values = {std::nullopt, std::string(),
                                                                  std::string("hashing")};
  const std::array<std::optional<std::string>, 3> field_values = {std::nullopt, std::string(),
                                                                  std::string("params.dropout")};
  const std::array<std::optional<std::string>, 3> details_values = {
      std::nullopt, std::string(), std::string("expected (0, 1], got 2")};

  int combinations = 0;
  for (std::size_t kind = 0; kind < kErrorKindCount; ++kind) {
    for (const auto& stage : stage_values) {
      for (const auto& field : field_values) {
        for (const auto& details : details_values) {
          const ErrorContext ctx{stage, field, details};
          const CoreError err(static_cast<ErrorKind>(kind), "it broke", ctx);
          EXPECT_EQ(err.display(), expected_display(kind, "it broke", ctx)) << "kind " << kind;
          EXPECT_EQ(err.kind(), static_cast<ErrorKind>(kind));
          EXPECT_EQ(err.message(), "it broke");
          EXPECT_EQ(err.context().stage, stage);
          EXPECT_EQ(err.context().field, field);
          EXPECT_EQ(err.context().details, details);
          EXPECT_EQ(err.source(), nullptr);
          ++combinations;
        }
      }
    }
  }
  EXPECT_EQ(combinations, 7 * 27);
}

TEST(CoreErrorTest, DisplayKnownTexts) {
  struct Case {
    CoreError error;
    const char* text;
  };
  Case cases[] = {
      {CoreError(ErrorKind::Validation, "graph must contain at least one node"),
       "validation error: graph must contain at least one node"},
      {CoreError(ErrorKind::Backend, "device lost", {"s", std::nullopt, "d"}),
       "backend error: device lost (stage: s, details: d)"},
      {CoreError(ErrorKind::InvalidConfiguration, "bad value", {std::nullopt, "f", std::nullopt}),
       "invalid configuration: bad value (field: f)"},
      {CoreError(ErrorKind::Io, "", {std::nullopt, std::nullopt, "d"}), "io error:  (details: d)"},
      {CoreError(ErrorKind::Graph, "x", {"", "", ""}),
       "graph error: x (stage: , field: , details: )"},
      {CoreError(ErrorKind::Build, "", {}), "build error: "},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.display(), c.text);
}

// Random messages and context texts, including separators, parentheses,
// NUL bytes and non-ASCII bytes, against the reference rendering.
TEST(CoreErrorTest, DisplayRandomTexts) {
  std::mt19937 rng(20240611);
  std::string alphabet = "ab (), :\n\t\xc3\xa9\xff";
  alphabet.push_back('\0');
  const auto random_text = [&] {
    std::string s(rng() % 12, ' ');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  const auto random_part = [&]() -> std::optional<std::string> {
    if (rng() % 3 == 0) return std::nullopt;
    return random_text();
  };
  for (int i = 0; i < 2000; ++i) {
    const std::size_t kind = rng() % kErrorKindCount;
    const std::string message = random_text();
    const ErrorContext ctx{random_part(), random_part(), random_part()};
    const CoreError err(static_cast<ErrorKind>(kind), message, ctx);
    ASSERT_EQ(err.display(), expected_display(kind, message, ctx));
  }
}

TEST(CoreErrorTest, MoveKeepsEverythingIncludingSource) {
  auto source = std::make_unique<std::runtime_error>("lower level");
  const std::exception* source_ptr = source.get();
  CoreError original(ErrorKind::Serialization, "cannot encode",
                     {std::nullopt, "weights", std::nullopt}, std::move(source));
  const std::string text = original.display();
  EXPECT_EQ(text, "serialization error: cannot encode (field: weights)");

  CoreError moved(std::move(original));
  EXPECT_EQ(moved.display(), text);
  EXPECT_EQ(moved.source(), source_ptr);
  EXPECT_STREQ(moved.source()->what(), "lower level");

  CoreError assigned(ErrorKind::Io, "other");
  assigned = std::move(moved);
  EXPECT_EQ(assigned.kind(), ErrorKind::Serialization);
  EXPECT_EQ(assigned.display(), text);
  EXPECT_EQ(assigned.source(), source_ptr);
}

}  // namespace
}  // namespace tessarin::core
