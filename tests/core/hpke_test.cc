// HPKE against the PQ draft's vectors, and the context's rules.
#include <fstream>

#include "core/hpke/hpke.h"
#include "tests/core/test_support.h"

namespace {

using namespace core::hpke;
using testsupport::field;
using testsupport::hex;

nlohmann::json hpke_vectors() {
  std::ifstream in(std::string(TARNEL_OWN_VECTORS_DIR) + "/hpke_pq/test-vectors.json");
  EXPECT_TRUE(in.good()) << "tests/vectors/hpke_pq/test-vectors.json is missing";
  return nlohmann::json::parse(in);
}

// The TurboSHAKE KDFs (0x0012, 0x0013) are not in libcrypto.
bool supported(const nlohmann::json& c) { return c.at("kdf_id").get<int>() < 0x12; }

TEST(Hpke, EverySupportedVectorSuite) {
  int suites = 0;
  for (const auto& c : hpke_vectors()) {
    if (!supported(c)) continue;
    ++suites;
    const uint16_t kem = c.at("kem_id"), kdf = c.at("kdf_id"), aead = c.at("aead_id");
    SCOPED_TRACE(testing::Message() << std::hex << kem << "/" << kdf << "/" << aead);
    auto suite = make_suite(kem, kdf, aead);
    ASSERT_TRUE(suite.ok());
    const KemId kem_id = static_cast<KemId>(kem);
    auto sk = derive_key_pair(kem_id, field(c, "ikmR"));
    ASSERT_TRUE(sk.ok()) << sk.error().message;
    EXPECT_EQ(hex(sk.value().bytes), hex(field(c, "skRm")));
    EXPECT_EQ(hex(sk.value().public_key), hex(field(c, "pkRm")));
    auto pk = load_public_key(kem_id, field(c, "pkRm"));
    ASSERT_TRUE(pk.ok()) << pk.error().message;
    const core::Bytes info = field(c, "info"), ikm_e = field(c, "ikmE");
    auto sender = setup_base_sender(suite.value(), pk.value(), info, core::ByteView(ikm_e));
    ASSERT_TRUE(sender.ok()) << sender.error().message;
    EXPECT_EQ(hex(sender.value().enc), c.at("enc").get<std::string>());
    auto loaded = load_private_key(kem_id, field(c, "skRm"));
    ASSERT_TRUE(loaded.ok());
    auto recipient = setup_base_recipient(suite.value(), loaded.value(), field(c, "enc"), info);
    ASSERT_TRUE(recipient.ok()) << recipient.error().message;
    Context& s = sender.value().context;
    Context& r = recipient.value();
    for (const auto& e : c.at("encryptions")) {
      auto ct = s.seal(field(e, "aad"), field(e, "pt"));
      ASSERT_TRUE(ct.ok());
      EXPECT_EQ(hex(ct.value()), e.at("ct").get<std::string>());
      auto pt = r.open(field(e, "aad"), field(e, "ct"));
      ASSERT_TRUE(pt.ok());
      EXPECT_EQ(hex(pt.value()), e.at("pt").get<std::string>());
    }
    for (const auto& x : c.at("exports")) {
      for (const Context* ctx : {&s, &r}) {
        auto v = ctx->export_secret(field(x, "exporter_context"), x.at("L").get<size_t>());
        ASSERT_TRUE(v.ok());
        EXPECT_EQ(hex(v.value()), x.at("exported_value").get<std::string>());
      }
    }
  }
  EXPECT_EQ(suites, 10);
}

struct Pair {
  Suite suite;
  SenderSetup sender;
  Context recipient;
};

Pair make_pair(uint16_t kem, uint16_t kdf, uint16_t aead) {
  Suite suite = make_suite(kem, kdf, aead).value();
  PrivateKey sk = generate_key_pair(static_cast<KemId>(kem)).value();
  PublicKey pk = load_public_key(sk.kem, sk.public_key).value();
  SenderSetup s = setup_base_sender(suite, pk, {}, std::nullopt).value();
  Context r = setup_base_recipient(suite, sk, s.enc, {}).value();
  return {suite, std::move(s), std::move(r)};
}

TEST(Hpke, FailedOpenLeavesTheContextUsable) {
  for (uint16_t aead : {1, 2, 3}) {
    Pair p = make_pair(0x20, 1, aead);
    const core::Bytes m1 = {1, 2, 3}, m2 = {4, 5};
    const core::Bytes c1 = p.sender.context.seal({}, m1).value();
    const core::Bytes c2 = p.sender.context.seal({}, m2).value();
    core::Bytes bad = c1;
    bad.back() ^= 1;
    auto r = p.recipient.open({}, bad);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, core::ErrorKind::Decryption);
    EXPECT_FALSE(p.recipient.open({}, c2).ok());  // out of order: wrong nonce
    EXPECT_FALSE(p.recipient.open(core::Bytes{0}, c1).ok());  // wrong aad
    EXPECT_EQ(p.recipient.sequence(), 0u);
    EXPECT_EQ(hex(p.recipient.open({}, c1).value()), hex(m1));
    EXPECT_EQ(hex(p.recipient.open({}, c2).value()), hex(m2));
    EXPECT_FALSE(p.recipient.open({}, core::Bytes(15)).ok());
  }
}

TEST(Hpke, MessageLimitAndRoles) {
  Pair p = make_pair(0x41, 1, 1);
  p.sender.context.set_sequence_for_testing(UINT64_MAX - 1);
  p.recipient.set_sequence_for_testing(UINT64_MAX - 1);
  const core::Bytes c = p.sender.context.seal({}, core::Bytes{9}).value();
  EXPECT_TRUE(p.recipient.open({}, c).ok());
  testsupport::expect_error(p.sender.context.seal({}, {}).error(),
                            core::ErrorKind::InvalidParameter, "HPKE message limit reached");
  testsupport::expect_error(p.recipient.open({}, c).error(), core::ErrorKind::InvalidParameter,
                            "HPKE message limit reached");
  testsupport::expect_error(p.recipient.seal({}, {}).error(), core::ErrorKind::InvalidParameter,
                            "HPKE seal needs a sender context");
  testsupport::expect_error(p.sender.context.open({}, c).error(),
                            core::ErrorKind::InvalidParameter,
                            "HPKE open needs a recipient context");
}

TEST(Hpke, ExportLimitsAndExportOnly) {
  for (uint16_t kdf : {1, 2, 3, 0x10, 0x11}) {
    Pair p = make_pair(0x647a, kdf, 0xffff);
    const size_t limit = p.suite.kdf->one_stage ? 65535 : 255 * p.suite.kdf->n_h;
    auto a = p.sender.context.export_secret(core::Bytes{1}, limit);
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(hex(a.value()), hex(p.recipient.export_secret(core::Bytes{1}, limit).value()));
    testsupport::expect_error(p.sender.context.export_secret({}, limit + 1).error(),
                              core::ErrorKind::InvalidParameter,
                              "HPKE export length exceeds the KDF's limit");
    testsupport::expect_error(p.sender.context.seal({}, {}).error(),
                              core::ErrorKind::InvalidParameter,
                              "HPKE export-only suite cannot seal or open");
  }
}

TEST(Hpke, EveryKemRoundTrips) {
  for (uint16_t kem : {0x10, 0x11, 0x20, 0x40, 0x41, 0x42, 0x50, 0x51, 0x647a}) {
    SCOPED_TRACE(kem);
    Pair p = make_pair(kem, 0x11, 3);
    const core::Bytes m(1000, 0x5a);
    EXPECT_EQ(hex(p.recipient.open({}, p.sender.context.seal({}, m).value()).value()), hex(m));
    const KemInfo* info = p.suite.kem;
    EXPECT_EQ(p.sender.enc.size(), info->n_enc);
    testsupport::expect_error(
        setup_base_recipient(p.suite, generate_key_pair(info->id).value(),
                             core::Bytes(info->n_enc + 1), {})
            .error(),
        core::ErrorKind::InvalidParameter, "HPKE enc has the wrong size for its KEM");
    testsupport::expect_error(load_public_key(info->id, core::Bytes(info->n_pk - 1)).error(),
                              core::ErrorKind::InvalidParameter,
                              "HPKE public key has the wrong size for its KEM");
    testsupport::expect_error(load_private_key(info->id, core::Bytes(info->n_sk + 1)).error(),
                              core::ErrorKind::InvalidParameter,
                              "HPKE private key has the wrong size for its KEM");
    testsupport::expect_error(derive_key_pair(info->id, core::Bytes(31)).error(),
                              core::ErrorKind::InvalidParameter,
                              "HPKE ikm must be at least 32 bytes");
  }
}

TEST(Hpke, UnknownIdentifiersAndKeyChecks) {
  testsupport::expect_error(make_suite(0x12, 1, 1).error(), core::ErrorKind::InvalidParameter,
                            "unknown HPKE KEM identifier");
  testsupport::expect_error(make_suite(0x20, 0x12, 1).error(), core::ErrorKind::InvalidParameter,
                            "unknown HPKE KDF identifier");
  testsupport::expect_error(make_suite(0x20, 1, 4).error(), core::ErrorKind::InvalidParameter,
                            "unknown HPKE AEAD identifier");
  // A P-256 point off the curve, a scalar of zero, an unreduced ML-KEM key.
  core::Bytes off(65, 1);
  off[0] = 4;
  testsupport::expect_error(load_public_key(KemId::DhkemP256, off).error(),
                            core::ErrorKind::InvalidParameter,
                            "public key is not a point on the curve");
  testsupport::expect_error(load_private_key(KemId::DhkemP256, core::Bytes(32)).error(),
                            core::ErrorKind::InvalidParameter,
                            "private key is not a scalar in [1, n-1]");
  testsupport::expect_error(load_public_key(KemId::MlKem768, core::Bytes(1184, 0xff)).error(),
                            core::ErrorKind::InvalidParameter,
                            "HPKE public key fails the ML-KEM encapsulation key check");
  // A key of another KEM than the suite's.
  Suite suite = make_suite(0x41, 1, 1).value();
  PrivateKey other = generate_key_pair(KemId::MlKem1024).value();
  testsupport::expect_error(setup_base_recipient(suite, other, core::Bytes(1088), {}).error(),
                            core::ErrorKind::InvalidParameter, "HPKE key belongs to another KEM");
  // X25519: a low-order enc is refused by the recipient.
  Suite x = make_suite(0x20, 1, 1).value();
  PrivateKey sk = generate_key_pair(KemId::DhkemX25519).value();
  testsupport::expect_error(setup_base_recipient(x, sk, core::Bytes(32), {}).error(),
                            core::ErrorKind::Decapsulation, "HPKE enc is not a usable public value");
}

}  // namespace
