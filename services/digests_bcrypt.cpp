// MD5 and SHA-256 for the Windows build, from the system's BCrypt (the Linux
// build uses OpenSSL, in text_services.cpp).
#include <windows.h>
// after windows.h, which they need
#include <bcrypt.h>

#include <array>
#include <fstream>
#include <vector>

#include "services/text_services.h"

namespace kiln::host {
namespace {

class Digest {
  public:
    explicit Digest(LPCWSTR algorithm) {
        if (BCryptOpenAlgorithmProvider(&provider_, algorithm, nullptr, 0) < 0) {
            provider_ = nullptr;
            return;
        }
        DWORD got = 0;
        DWORD size = 0;
        if (BCryptGetProperty(provider_, BCRYPT_HASH_LENGTH, reinterpret_cast<PUCHAR>(&size),
                              sizeof size, &got, 0) < 0 ||
            BCryptCreateHash(provider_, &hash_, nullptr, 0, nullptr, 0, 0) < 0) {
            hash_ = nullptr;
            return;
        }
        digest_.resize(size);
    }
    ~Digest() {
        if (hash_) {
            BCryptDestroyHash(hash_);
        }
        if (provider_) {
            BCryptCloseAlgorithmProvider(provider_, 0);
        }
    }
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    bool Add(const void* data, size_t size) {
        return hash_ && BCryptHashData(hash_, static_cast<PUCHAR>(const_cast<void*>(data)),
                                       static_cast<ULONG>(size), 0) >= 0;
    }

    // Lower-case hexadecimal, or "" on failure.
    std::string Finish() {
        if (!hash_ ||
            BCryptFinishHash(hash_, digest_.data(), static_cast<ULONG>(digest_.size()), 0) < 0) {
            return {};
        }
        static constexpr char kHex[] = "0123456789abcdef";
        std::string out;
        for (UCHAR byte : digest_) {
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
        return out;
    }

  private:
    BCRYPT_ALG_HANDLE provider_ = nullptr;
    BCRYPT_HASH_HANDLE hash_ = nullptr;
    std::vector<UCHAR> digest_;
};

}  // namespace

std::string Md5Hex(std::string_view text) {
    Digest digest(BCRYPT_MD5_ALGORITHM);
    return digest.Add(text.data(), text.size()) ? digest.Finish() : std::string();
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
    Digest digest(BCRYPT_SHA256_ALGORITHM);
    std::array<char, 64 * 1024> chunk;
    while (in) {
        in.read(chunk.data(), chunk.size());
        if (in.gcount() > 0 && !digest.Add(chunk.data(), static_cast<size_t>(in.gcount()))) {
            return {};
        }
    }
    return in.bad() ? std::string() : digest.Finish();
}

}  // namespace kiln::host
