#include "core/json_doc.h"

#include <algorithm>

#include "core/common/text.h"
#include "core/kem.h"

namespace core {

// An index outside the table (a caller bug) reads as the last level.
std::string_view level_json_name(Level level) noexcept {
  const size_t i = static_cast<size_t>(level);
  return kParams[i < kParams.size() ? i : kParams.size() - 1].name;
}

std::string write_public_key_json(ByteView public_key, Level level) {
  std::string out = R"({"algorithm":"ML-KEM","level":")";
  out.append(level_json_name(level)).append(R"(","public_key":")");
  out.append(public_key_to_b64(public_key)).append(R"("})");
  return out;
}

Result<std::string> extract_json_string(std::string_view document, std::string_view name) noexcept {
  return contained<std::string>([&]() -> Result<std::string> {
    const std::string needle = '"' + std::string(name) + "\":";
    const size_t at = document.find(needle);
    if (at == std::string_view::npos) return Error{ErrorKind::KeySerialization, "missing JSON field"};
    std::string_view rest = document.substr(at + needle.size());
    while (const size_t n = space_len(rest)) rest.remove_prefix(n);
    if (rest.empty() || rest.front() != '"')
      return Error{ErrorKind::KeySerialization, "JSON field value is not a string"};
    rest.remove_prefix(1);
    const size_t close = rest.find('"');
    if (close == std::string_view::npos)
      return Error{ErrorKind::KeySerialization, "unterminated JSON string value"};
    return std::string(rest.substr(0, close));
  });
}

Result<PublicKeyDocument> read_public_key_json(std::string_view document) noexcept {
  return contained<PublicKeyDocument>([&]() -> Result<PublicKeyDocument> {
    auto algorithm = extract_json_string(document, "algorithm");
    if (!algorithm.ok()) return algorithm.error();
    auto level_name = extract_json_string(document, "level");
    if (!level_name.ok()) return level_name.error();
    auto key_text = extract_json_string(document, "public_key");
    if (!key_text.ok()) return key_text.error();

    if (algorithm.value() != "ML-KEM")
      return Error{ErrorKind::KeySerialization, "unsupported algorithm (expected 'ML-KEM')"};
    const auto known = std::find_if(kParams.begin(), kParams.end(), [&](const Params& p) {
      return level_name.value() == p.name;
    });
    if (known == kParams.end())
      return Error{ErrorKind::KeySerialization,
                   "unsupported level in JSON (expected ML_KEM_512/768/1024)"};
    const auto level = static_cast<Level>(known - kParams.begin());
    auto key = public_key_from_b64(key_text.value(), level);
    if (!key.ok()) return key.error();
    return PublicKeyDocument{std::move(key.value()), level};
  });
}

}  // namespace core
