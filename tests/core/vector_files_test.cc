// The known-answer vector files the other tests read: every one present and
// whole, in the full public set or in the compact subset carried by the
// project. Prints how many cases the known-answer tests run.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace {

// Cases per file in the full public set.
const std::map<std::string, size_t> kFullCounts = {
    {"mlkem_keygen.json", 378},       {"mlkem_encaps.json", 483},
    {"mlkem_decaps.json", 45},        {"mlkem_keygen_decaps.json", 459},
    {"mlkem_input_checks.json", 594}, {"mlkem_accumulated.json", 9},
    {"hmac_sha3_256.json", 193},      {"hkdf_sha3_256.json", 10},
};

nlohmann::json read_json(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  return nlohmann::json::parse(in);
}

TEST(VectorFiles, EveryFilePresentWholeAndCounted) {
  const std::filesystem::path dir = TARNEL_VECTORS_DIR;
  const bool full = TARNEL_VECTORS_FULL;
  std::map<std::string, size_t> want = kFullCounts;
  if (!full) {
    // The subset's own record of what it holds (written with it).
    nlohmann::json manifest;
    ASSERT_NO_THROW(manifest = read_json(dir / "manifest.json"));
    want.clear();
    for (const auto& [name, n] : manifest.at("cases").items()) want[name] = n.get<size_t>();
    for (const auto& [name, n] : kFullCounts) {
      ASSERT_TRUE(want.count(name)) << name << " not in the subset's manifest";
      EXPECT_LE(want[name], n) << name;
    }
  }
  size_t total = 0;
  for (const auto& [name, n] : want) {
    SCOPED_TRACE(name);
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = read_json(dir / name)) << "vector file missing or unreadable";
    const nlohmann::json& cases = doc.is_object() ? doc.at("digests") : doc;
    EXPECT_EQ(cases.size(), n);
    if (name.rfind("mlkem_", 0) == 0) {
      std::set<int> levels;
      for (const auto& c : cases) levels.insert(c.at("level").get<int>());
      EXPECT_EQ(levels, (std::set<int>{512, 768, 1024}));
    }
    total += cases.size();
  }
  std::printf("known-answer vectors: %zu cases in %zu files (%s, %s)\n", total, want.size(),
              full ? "full public set" : "compact subset", dir.string().c_str());
  RecordProperty("vector_cases", static_cast<int>(total));
}

}  // namespace
