// Helpers shared by the core tests: hex, the vector files, error checks,
// level mapping.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "core/common/bytes.h"
#include "core/common/secret.h"
#include "core/error.h"
#include "core/mlkem/params.h"

namespace testsupport {

inline std::string hex(core::ByteView b) {
  static const char* kDigits = "0123456789abcdef";
  std::string s;
  s.reserve(2 * b.size());
  for (uint8_t v : b) {
    s += kDigits[v >> 4];
    s += kDigits[v & 15];
  }
  return s;
}

inline core::Bytes unhex(const std::string& s) {
  auto nibble = [](char c) -> uint8_t {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    throw std::invalid_argument("bad hex digit");
  };
  if (s.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  core::Bytes out(s.size() / 2);
  for (size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<uint8_t>(nibble(s[2 * i]) << 4 | nibble(s[2 * i + 1]));
  return out;
}

// expect_error checks an error's kind and text (null: a kind without text).
inline void expect_error(const core::Error& e, core::ErrorKind kind, const char* message) {
  EXPECT_EQ(e.kind, kind);
  if (message == nullptr) {
    EXPECT_EQ(e.message, nullptr);
  } else {
    ASSERT_NE(e.message, nullptr);
    EXPECT_STREQ(e.message, message);
  }
}

inline core::Bytes field(const nlohmann::json& c, const char* name) {
  return unhex(c.at(name).get<std::string>());
}

inline std::filesystem::path vectors_dir() { return TARNEL_VECTORS_DIR; }

// load_vectors returns the parsed file, or nullopt when the vector directory
// is absent (the caller skips).
inline std::optional<nlohmann::json> load_vectors(const std::string& name) {
  const auto path = vectors_dir() / name;
  std::ifstream in(path);
  if (!in) return std::nullopt;
  return nlohmann::json::parse(in);
}

#define LOAD_VECTORS_OR_SKIP(var, name)                                                   \
  auto var##_opt = ::testsupport::load_vectors(name);                                    \
  if (!var##_opt) GTEST_SKIP() << "vector file " << name << " not found under "          \
                               << ::testsupport::vectors_dir() << " (shared vectors absent)"; \
  const nlohmann::json& var = *var##_opt

inline core::Level level_of(const nlohmann::json& c) {
  return core::level_from_value(c.at("level").get<uint32_t>());
}

inline std::string case_name(const nlohmann::json& c) {
  return c.at("source").get<std::string>() + " " + c.at("id").get<std::string>() + " (ML-KEM-" +
         std::to_string(c.at("level").get<int>()) + ")";
}

inline core::Seed seed32(const core::Bytes& b) {
  if (b.size() != 32) throw std::invalid_argument("seed is not 32 bytes");
  return core::Seed(b.data(), 32);
}

}  // namespace testsupport
