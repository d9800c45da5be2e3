// Random-source failure at every draw an operation makes: for each n, the
// n-th draw fails, the operation reports Rng at once (no further draw, no
// output), and the first n for which it succeeds equals its number of draws.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/common/rand.h"
#include "core/hybrid.h"
#include "core/kem.h"
#include "core/key_wrap.h"
#include "core/stream.h"

namespace {

using core::ErrorKind;
using core::Level;

// An operation under test: it runs once and reports its error kind, or
// nullopt on success; `output_clean` tells whether a failed call left no
// output behind (for operations that write into a caller's buffer).
struct Outcome {
  std::optional<ErrorKind> error;
  bool output_clean = true;
};
struct Operation {
  std::string name;
  long draws;  // random draws of a successful call
  std::function<Outcome()> run;
};

template <class T>
Outcome outcome_of(const core::Result<T>& r) {
  if (r.ok()) return {};
  return {r.error().kind};
}

std::vector<Operation> operations(Level level) {
  static std::vector<core::KeyPairBytes> pairs = [] {
    std::vector<core::KeyPairBytes> out;
    for (int l = 0; l < 3; ++l) out.push_back(core::ml_kem_keygen(Level(l)).value());
    return out;
  }();
  const core::KeyPairBytes& kp = pairs[static_cast<size_t>(level)];
  const core::Bytes plaintext(100, 0x5a);
  const core::Bytes password{'p', 'w'};
  return {
      {"ml_kem_keygen", 2, [=] { return outcome_of(core::ml_kem_keygen(level)); }},
      {"ml_kem_encaps", 1, [=] { return outcome_of(core::ml_kem_encaps(kp.ek, level)); }},
      {"hybrid::encrypt", 2,
       [=] { return outcome_of(core::hybrid::encrypt(kp.ek, plaintext, level)); }},
      {"hybrid::encrypt_into", 2,
       [=] {
         core::Bytes package(core::hybrid::sealed_len(plaintext.size(), level).value(), 0xa5);
         Outcome o = outcome_of(core::hybrid::encrypt_into(package, kp.ek, plaintext, level));
         o.output_clean = std::all_of(package.begin(), package.end(), [](uint8_t b) { return b == 0; });
         return o;
       }},
      {"StreamEncryptor::create", 2,
       [=] { return outcome_of(core::StreamEncryptor::create(kp.ek, 4096, level)); }},
      {"wrap_secret_key_blob", 2,
       [=] { return outcome_of(core::wrap_secret_key_blob(kp.dk, level, password)); }},
  };
}

class RngFailure : public ::testing::TestWithParam<Level> {
 protected:
  void TearDown() override { core::testing::fail_random_after(-1); }
};

TEST_P(RngFailure, EveryDrawFailsTheOperationWithRngAndNothingElse) {
  for (const Operation& op : operations(GetParam())) {
    SCOPED_TRACE(op.name);
    long succeeded_at = -1;
    for (long n = 0; n <= op.draws + 1 && succeeded_at < 0; ++n) {
      SCOPED_TRACE(::testing::Message() << "failing draw " << n);
      core::testing::fail_random_after(n);
      const long before = core::testing::random_calls();
      const Outcome o = op.run();
      const long draws = core::testing::random_calls() - before;
      core::testing::fail_random_after(-1);
      if (!o.error) {
        succeeded_at = n;
        EXPECT_EQ(draws, n);
        break;
      }
      EXPECT_EQ(*o.error, ErrorKind::Rng);
      EXPECT_EQ(draws, n + 1);  // the failing draw was the last one
      EXPECT_TRUE(o.output_clean);
    }
    EXPECT_EQ(succeeded_at, op.draws);
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, RngFailure,
                         ::testing::Values(Level::MlKem512, Level::MlKem768, Level::MlKem1024),
                         [](const auto& info) {
                           return "MlKem" + std::to_string(core::level_value(info.param));
                         });

}  // namespace
