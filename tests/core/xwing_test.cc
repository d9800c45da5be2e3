// X-Wing against the draft's known answers, and its failure modes.
#include <fstream>

#include "core/xwing.h"
#include "tests/core/test_support.h"

namespace {

using testsupport::field;
using testsupport::hex;

nlohmann::json xwing_vectors() {
  std::ifstream in(std::string(TARNEL_OWN_VECTORS_DIR) + "/xwing/test-vectors.json");
  EXPECT_TRUE(in.good()) << "tests/vectors/xwing/test-vectors.json is missing";
  return nlohmann::json::parse(in);
}

TEST(XWing, EveryKnownAnswer) {
  const nlohmann::json cases = xwing_vectors();
  ASSERT_FALSE(cases.empty());
  for (const auto& c : cases) {
    const core::Bytes seed = field(c, "seed"), pk = field(c, "pk"), eseed = field(c, "eseed"),
                      ct = field(c, "ct"), ss = field(c, "ss");
    SCOPED_TRACE(hex(seed));
    auto kp = core::xwing_keygen_deterministic(seed);
    ASSERT_TRUE(kp.ok());
    EXPECT_EQ(hex(kp.value().public_key), hex(pk));
    EXPECT_EQ(hex(kp.value().seed.view()), hex(seed));
    auto enc = core::xwing_encaps_deterministic(pk, eseed);
    ASSERT_TRUE(enc.ok());
    EXPECT_EQ(hex(enc.value().capsule), hex(ct));
    EXPECT_EQ(hex(enc.value().shared_secret.view()), hex(ss));
    auto dec = core::xwing_decaps(ct, seed);
    ASSERT_TRUE(dec.ok());
    EXPECT_EQ(hex(dec.value().view()), hex(ss));
  }
}

TEST(XWing, RandomRoundTripAndImplicitRejection) {
  auto kp = core::xwing_keygen();
  ASSERT_TRUE(kp.ok());
  auto enc = core::xwing_encaps(kp.value().public_key);
  ASSERT_TRUE(enc.ok());
  auto dec = core::xwing_decaps(enc.value().capsule, kp.value().seed.view());
  ASSERT_TRUE(dec.ok());
  EXPECT_EQ(hex(dec.value().view()), hex(enc.value().shared_secret.view()));
  // A changed ML-KEM part decapsulates to another key, without an error.
  core::Bytes bad = enc.value().capsule;
  bad[0] ^= 1;
  auto other = core::xwing_decaps(bad, kp.value().seed.view());
  ASSERT_TRUE(other.ok());
  EXPECT_NE(hex(other.value().view()), hex(enc.value().shared_secret.view()));
}

TEST(XWing, SizeAndKeyChecks) {
  auto kp = core::xwing_keygen();
  ASSERT_TRUE(kp.ok());
  const core::Bytes& pk = kp.value().public_key;
  const core::Bytes eseed(64, 7);
  using core::ErrorKind;
  for (size_t len : {size_t{0}, size_t{1215}, size_t{1217}}) {
    core::Bytes p(len, 0);
    testsupport::expect_error(core::xwing_encaps(p).error(), ErrorKind::InvalidParameter,
                              "X-Wing public key must be 1216 bytes");
  }
  testsupport::expect_error(core::xwing_encaps_deterministic(pk, core::Bytes(63)).error(),
                            ErrorKind::InvalidParameter, "X-Wing eseed must be 64 bytes");
  testsupport::expect_error(core::xwing_keygen_deterministic(core::Bytes(31)).error(),
                            ErrorKind::InvalidParameter, "X-Wing private key must be 32 bytes");
  testsupport::expect_error(core::xwing_decaps(core::Bytes(1119), kp.value().seed.view()).error(),
                            ErrorKind::InvalidParameter, "X-Wing ciphertext must be 1120 bytes");
  testsupport::expect_error(core::xwing_decaps(core::Bytes(1120), core::Bytes(33)).error(),
                            ErrorKind::InvalidParameter, "X-Wing private key must be 32 bytes");
  // An ML-KEM coefficient of q or more fails the modulus check.
  core::Bytes unreduced = pk;
  unreduced[0] = 0xff;
  unreduced[1] |= 0x0f;
  testsupport::expect_error(core::xwing_encaps_deterministic(unreduced, eseed).error(),
                            ErrorKind::InvalidParameter,
                            "X-Wing public key fails the ML-KEM encapsulation key check");
  // X25519 points of small order: 0 and 1 (RFC 7748, Section 6.1).
  for (uint8_t point : {0, 1}) {
    core::Bytes low = pk;
    std::fill(low.end() - 32, low.end(), 0);
    low[low.size() - 32] = point;
    testsupport::expect_error(core::xwing_encaps_deterministic(low, eseed).error(),
                              ErrorKind::InvalidParameter, "X25519 shared secret is all zeros");
    core::Bytes ct(1120, 0);
    ct[1088] = point;
    testsupport::expect_error(core::xwing_decaps(ct, kp.value().seed.view()).error(),
                              ErrorKind::Decapsulation,
                              "X-Wing ciphertext has an X25519 part of small order");
  }
}

}  // namespace
