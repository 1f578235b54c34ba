// MD5 and SHA-256 for the Linux build, from OpenSSL (the Windows build uses
// the system's BCrypt, in digests_bcrypt.cpp).
#include <openssl/evp.h>

#include <array>
#include <fstream>
#include <memory>
#include <system_error>

#include "services/text_services.h"

namespace kiln::host {
namespace {

std::string Hex(const unsigned char* bytes, size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(count * 2, '0');
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0F];
    }
    return out;
}

}  // namespace

std::string Md5Hex(std::string_view text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        return {};
    }
    return Hex(digest, length);
}

std::string Sha256FileHex(const std::filesystem::path& file) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        return {};
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return {};
    }
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return {};
    }
    std::array<char, 64 * 1024> chunk;
    while (in) {
        in.read(chunk.data(), chunk.size());
        const auto got = in.gcount();
        if (got > 0 &&
            EVP_DigestUpdate(context.get(), chunk.data(), static_cast<size_t>(got)) != 1) {
            return {};
        }
    }
    if (in.bad()) {
        return {};
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &length) != 1) {
        return {};
    }
    return Hex(digest, length);
}

}  // namespace kiln::host
