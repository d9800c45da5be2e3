#include "core/pem.h"

#include "core/common/base64.h"
#include "core/common/text.h"

namespace core {

std::string wrap_pem_lines(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / kPemLineLen);
  for (size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && i % kPemLineLen == 0) out += '\n';
    out += text[i];
  }
  return out;
}

std::string write_pem_block(const PemBlockType& type, ByteView payload) {
  const std::string body = wrap_pem_lines(base64_encode(payload));
  std::string out;
  out.reserve(type.header.size() + body.size() + type.footer.size() + 3);
  out.append(type.header).append("\n").append(body).append("\n");
  out.append(type.footer).append("\n");
  return out;
}

Result<std::string_view> extract_pem_body(std::string_view text, std::string_view header,
                                          std::string_view footer) noexcept {
  const size_t h = text.find(header);
  if (h == std::string_view::npos) return Error{ErrorKind::KeySerialization, "PEM header not found"};
  const size_t body_start = h + header.size();
  const size_t f = text.find(footer, body_start);
  if (f == std::string_view::npos) return Error{ErrorKind::KeySerialization, "PEM footer not found"};
  return text.substr(body_start, f - body_start);
}

std::string unwrap_pem_body(std::string_view body) { return remove_unicode_space(body); }

Result<Bytes> read_pem_block(std::string_view text, const PemBlockType& type) noexcept {
  return contained<Bytes>([&]() -> Result<Bytes> {
    auto body = extract_pem_body(text, type.header, type.footer);
    if (!body.ok()) return body.error();
    std::optional<Bytes> payload = base64_decode(unwrap_pem_body(body.value()));
    if (!payload) return Error{ErrorKind::KeySerialization, type.bad_body_message};
    return std::move(*payload);
  });
}

Result<Bytes> read_public_key_pem(std::string_view text, Level level) noexcept {
  auto key = read_pem_block(text, kPublicKeyPem);
  if (key.ok() && key.value().size() != params(level).ek_len())
    return Error{ErrorKind::InvalidParameter,
                 "public key size does not match the specified security level"};
  return key;
}

}  // namespace core
