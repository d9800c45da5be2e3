// The level table: the single source of every level-dependent size.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace core {

// Level index as the core takes it; the wrapped blob stores it as level_id.
enum class Level : uint8_t { MlKem512 = 0, MlKem768 = 1, MlKem1024 = 2 };

struct Params {
  uint16_t value;  // 512, 768 or 1024
  uint8_t k, eta1, eta2, du, dv;
  const char* name;  // "ML_KEM_512", ...: SecurityLevel's attribute and the JSON level

  constexpr size_t ek_len() const { return 384 * size_t{k} + 32; }
  constexpr size_t dk_len() const { return 768 * size_t{k} + 96; }
  constexpr size_t ct_len() const { return 32 * (size_t{du} * k + dv); }
  constexpr size_t dk_pke_len() const { return 384 * size_t{k}; }
};

inline constexpr size_t kSharedSecretLen = 32;

inline constexpr std::array<Params, 3> kParams{{  // FIPS 203, Table 2
    {512, 2, 3, 2, 10, 4, "ML_KEM_512"},
    {768, 3, 2, 2, 10, 4, "ML_KEM_768"},
    {1024, 4, 2, 2, 11, 5, "ML_KEM_1024"}}};

static_assert(kParams[0].ek_len() == 800 && kParams[0].dk_len() == 1632 &&
              kParams[0].ct_len() == 768);
static_assert(kParams[1].ek_len() == 1184 && kParams[1].dk_len() == 2400 &&
              kParams[1].ct_len() == 1088);
static_assert(kParams[2].ek_len() == 1568 && kParams[2].dk_len() == 3168 &&
              kParams[2].ct_len() == 1568);

inline constexpr size_t kMaxCiphertextLen = kParams[2].ct_len();

constexpr const Params& params(Level level) { return kParams[static_cast<size_t>(level)]; }

// level_from_value maps the numeric value to its index: 512 gives MlKem512,
// 768 gives MlKem768, any other value MlKem1024.
constexpr Level level_from_value(uint32_t value) {
  return value == 512 ? Level::MlKem512 : value == 768 ? Level::MlKem768 : Level::MlKem1024;
}
constexpr uint16_t level_value(Level level) { return params(level).value; }

}  // namespace core
