// X-Wing key objects (core/xwing_key.h): the results of the byte functions
// on the draft's known answers and on random keys, the checks made once, and
// the wrapped seed.
#include <fstream>
#include <thread>
#include <vector>

#include "core/common/rand.h"
#include "core/xwing.h"
#include "core/xwing_key.h"
#include "tests/core/test_support.h"

namespace {

using testsupport::field;
using testsupport::hex;

TEST(XWingKeyObjects, KnownAnswersAsTheFunctions) {
  std::ifstream in(std::string(TARNEL_OWN_VECTORS_DIR) + "/xwing/test-vectors.json");
  ASSERT_TRUE(in.good());
  const nlohmann::json cases = nlohmann::json::parse(in);
  ASSERT_FALSE(cases.empty());
  for (const auto& c : cases) {
    const core::Bytes seed = field(c, "seed"), pk = field(c, "pk"), eseed = field(c, "eseed"),
                      ct = field(c, "ct"), ss = field(c, "ss");
    auto pub = core::XWingEncapsulationKey::from_bytes(pk);
    auto priv = core::XWingDecapsulationKey::from_seed(seed);
    ASSERT_TRUE(pub.ok() && priv.ok());
    EXPECT_EQ(hex(priv.value().public_key().bytes()), hex(pk));
    auto enc = pub.value().encapsulate_deterministic(eseed);
    ASSERT_TRUE(enc.ok());
    EXPECT_EQ(hex(enc.value().capsule), hex(ct));
    EXPECT_EQ(hex(enc.value().shared_secret.view()), hex(ss));
    auto dec = priv.value().decapsulate(ct);
    ASSERT_TRUE(dec.ok());
    EXPECT_EQ(hex(dec.value().view()), hex(ss));
  }
}

TEST(XWingKeyObjects, RandomKeysAndDamagedCiphertextsAsTheFunctions) {
  for (int trial = 0; trial < 8; ++trial) {
    auto kp = core::xwing_keygen();
    ASSERT_TRUE(kp.ok());
    auto pub = core::XWingEncapsulationKey::from_bytes(kp.value().public_key);
    auto priv = core::XWingDecapsulationKey::from_seed(kp.value().seed.view());
    ASSERT_TRUE(pub.ok() && priv.ok());
    core::Bytes eseed(64);
    ASSERT_TRUE(core::fill_random(eseed).ok());
    auto ours = pub.value().encapsulate_deterministic(eseed);
    auto theirs = core::xwing_encaps_deterministic(kp.value().public_key, eseed);
    ASSERT_TRUE(ours.ok() && theirs.ok());
    EXPECT_EQ(hex(ours.value().capsule), hex(theirs.value().capsule));
    core::Bytes bad = ours.value().capsule;
    bad[static_cast<size_t>(trial) * 131 % 1088] ^= 0x10;  // the ML-KEM part
    auto a = priv.value().decapsulate(bad);
    auto b = core::xwing_decaps(bad, kp.value().seed.view());
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_EQ(hex(a.value().view()), hex(b.value().view()));
  }
}

TEST(XWingKeyObjects, Checks) {
  auto kp = core::xwing_keygen();
  ASSERT_TRUE(kp.ok());
  core::Bytes pk = kp.value().public_key;
  using core::ErrorKind;
  auto short_pk = core::XWingEncapsulationKey::from_bytes(core::ByteView(pk).first(1215));
  ASSERT_FALSE(short_pk.ok());
  EXPECT_EQ(short_pk.error().message, std::string("X-Wing public key must be 1216 bytes"));
  pk[0] = pk[1] = 0xff;  // a first coefficient of 4095
  auto unreduced = core::XWingEncapsulationKey::from_bytes(pk);
  ASSERT_FALSE(unreduced.ok());
  EXPECT_EQ(unreduced.error().kind, ErrorKind::InvalidParameter);
  EXPECT_FALSE(core::XWingDecapsulationKey::from_seed(core::Bytes(31)).ok());
  auto priv = core::XWingDecapsulationKey::from_seed(kp.value().seed.view());
  ASSERT_TRUE(priv.ok());
  EXPECT_EQ(priv.value().decapsulate(core::Bytes(1119)).error().kind, ErrorKind::InvalidParameter);
  EXPECT_EQ(priv.value().decapsulate(core::Bytes(1120)).error().kind, ErrorKind::Decapsulation);
  auto pub = priv.value().public_key();
  EXPECT_EQ(pub.encapsulate_deterministic(core::Bytes(63)).error().kind,
            ErrorKind::InvalidParameter);
}

TEST(XWingKeyObjects, SharedByThreads) {
  auto kp = core::xwing_keygen();
  ASSERT_TRUE(kp.ok());
  auto priv = core::XWingDecapsulationKey::from_seed(kp.value().seed.view());
  ASSERT_TRUE(priv.ok());
  const core::XWingEncapsulationKey pub = priv.value().public_key();
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        auto enc = pub.encapsulate();
        auto dec = enc.ok() ? priv.value().decapsulate(enc.value().capsule)
                            : core::Result<core::Key256>(enc.error());
        if (!dec.ok() || hex(dec.value().view()) != hex(enc.value().shared_secret.view()))
          ++failures[static_cast<size_t>(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(XWingWrappedSeed, RoundTripAndRefusals) {
  const core::Bytes seed(32, 0x42), password{'p', 'w'}, other{'p', 'x'};
  auto blob = core::xwing_wrap_seed(seed, password);
  ASSERT_TRUE(blob.ok());
  ASSERT_EQ(blob.value().size(), core::kXWingWrappedLen);
  auto back = core::xwing_unwrap_seed(blob.value(), password);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(hex(back.value().view()), hex(seed));
  EXPECT_EQ(core::xwing_unwrap_seed(blob.value(), other).error().kind,
            core::ErrorKind::Decryption);
  core::Bytes kind = blob.value();
  kind[5] = 0x01;  // an ML-KEM-768 blob's level id
  EXPECT_EQ(core::xwing_unwrap_seed(kind, password).error().kind,
            core::ErrorKind::KeySerialization);
  core::Bytes tag = blob.value();
  tag.back() ^= 1;
  EXPECT_EQ(core::xwing_unwrap_seed(tag, password).error().kind, core::ErrorKind::Decryption);
  EXPECT_EQ(core::xwing_unwrap_seed(core::ByteView(blob.value()).first(81), password)
                .error()
                .kind,
            core::ErrorKind::KeySerialization);
  EXPECT_EQ(core::xwing_wrap_seed(core::Bytes(31), password).error().kind,
            core::ErrorKind::InvalidParameter);
}

}  // namespace
