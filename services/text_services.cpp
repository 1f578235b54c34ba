#include "services/text_services.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <system_error>
#include <thread>

#include "services/paths.h"

namespace kiln::host {
namespace {

// fopen with the system's own path form (UTF-16 on Windows).
std::FILE* OpenPath(const std::filesystem::path& path, const char* mode) {
#if defined(_WIN32)
    const std::wstring wideMode(mode, mode + std::strlen(mode));
    return _wfopen(path.c_str(), wideMode.c_str());
#else
    return std::fopen(path.c_str(), mode);
#endif
}

template <typename Char>
Char AsciiLower(Char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<Char>(c - 'A' + 'a') : c;
}

template <typename View>
bool PrefixEqualImpl(View text, View prefix, int count) {
    using Char = typename View::value_type;
    for (int i = 0; i < count; ++i) {
        const size_t at = static_cast<size_t>(i);
        const Char a = at < text.size() ? text[at] : Char{};
        const Char b = at < prefix.size() ? prefix[at] : Char{};
        if (AsciiLower(a) != AsciiLower(b)) {
            return false;
        }
        if (a == Char{}) {
            return true;
        }
    }
    return true;
}

std::mt19937_64& Generator() {
    thread_local std::mt19937_64 generator = [] {
        std::array<uint32_t, 8> seed{};
        try {
            std::random_device device;
            for (auto& word : seed) {
                word = device();
            }
        } catch (...) {
            // No entropy source: a clock and the thread still give distinct ids.
            const auto now = std::chrono::high_resolution_clock::now().time_since_epoch().count();
            seed[0] = static_cast<uint32_t>(now);
            seed[1] = static_cast<uint32_t>(static_cast<uint64_t>(now) >> 32);
            seed[2] =
                static_cast<uint32_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
        }
        std::seed_seq sequence(seed.begin(), seed.end());
        return std::mt19937_64(sequence);
    }();
    return generator;
}

template <typename T>
bool Argument(void** args, int argCount, int index, T* out) {
    if (args == nullptr || index >= argCount || args[index] == nullptr) {
        return false;
    }
    std::memcpy(out, args[index], sizeof(T));
    return true;
}

}  // namespace

std::wstring RandomIdentifier(int maxChars) {
    static constexpr wchar_t kAlphabet[] =
        L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr size_t kAlphabetSize = sizeof(kAlphabet) / sizeof(kAlphabet[0]) - 1;
    if (maxChars <= 0) {
        return {};
    }
    std::uniform_int_distribution<size_t> pick(0, kAlphabetSize - 1);
    auto& generator = Generator();
    std::wstring out(static_cast<size_t>(maxChars), L'\0');
    for (auto& c : out) {
        c = kAlphabet[pick(generator)];
    }
    return out;
}

bool TextEqual(std::wstring_view a, std::wstring_view b) {
    return a == b;
}
bool TextEqual(std::string_view a, std::string_view b) {
    return a == b;
}

bool PrefixEqual(std::string_view text, std::string_view prefix, int count) {
    return PrefixEqualImpl(text, prefix, count);
}

bool PrefixEqual(std::wstring_view text, std::wstring_view prefix, int count) {
    return PrefixEqualImpl(text, prefix, count);
}

std::string Int64ToText(int64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof(digits), value);
    return std::string(digits, result.ptr);
}

int Int64ToTextBuffer(int64_t value, char* out, int size) {
    if (out == nullptr || size <= 0) {
        return 0;
    }
    const std::string text = Int64ToText(value);
    if (text.size() >= static_cast<size_t>(size)) {
        out[0] = '\0';
        return 0;
    }
    std::memcpy(out, text.c_str(), text.size() + 1);
    return static_cast<int>(text.size());
}

std::optional<int64_t> ParseInteger(std::wstring_view text) {
    const auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    bool negative = false;
    if (!text.empty() && (text.front() == L'+' || text.front() == L'-')) {
        negative = text.front() == L'-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    // Accumulated as a negative number so that INT64_MIN fits.
    int64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') {
            return std::nullopt;
        }
        const int digit = c - L'0';
        if (value < (INT64_MIN + digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == INT64_MIN) {
            return std::nullopt;
        }
        value = -value;
    }
    return value;
}

int TextToInt(std::wstring_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || (text[i] >= L'\t' && text[i] <= L'\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == L'+' || text[i] == L'-')) {
        negative = text[i] == L'-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i) {
        value = std::min<int64_t>(value * 10 + (text[i] - L'0'), int64_t{INT_MAX} + 1);
    }
    if (negative) {
        value = -value;
    }
    return static_cast<int>(std::clamp<int64_t>(value, INT_MIN, INT_MAX));
}

// -- TextObjects

TextObjects::~TextObjects() {
    for (void* block : live_) {
        std::free(block);
    }
}

int TextObjects::Dispatch(int code, void** result, void** args, int argCount) {
    switch (code) {
        case kAllocate: {
            size_t bytes = 0;
            if (result == nullptr || !Argument(args, argCount, 0, &bytes)) {
                return 0;
            }
            *result = Allocate(bytes);
            return *result != nullptr ? 1 : 0;
        }
        case kRelease: {
            void* block = nullptr;
            if (Argument(args, argCount, 0, &block)) {
                Release(block);
            }
            return 0;
        }
        case kCopyUtf8: {
            const char* text = nullptr;
            if (result == nullptr || !Argument(args, argCount, 0, &text) || text == nullptr) {
                return 0;
            }
            *result = CopyUtf8(text);
            return *result != nullptr ? 1 : 0;
        }
        case kReplaceWide: {
            const wchar_t* text = nullptr;
            void* previous = nullptr;
            Argument(args, argCount, 0, &text);
            Argument(args, argCount, 1, &previous);
            if (result == nullptr) {
                // Nowhere to put a copy: only the release part can happen.
                Release(previous);
                return 0;
            }
            *result = ReplaceWide(text, previous);
            return *result != nullptr ? 1 : 0;
        }
        default:
            return 0;
    }
}

void* TextObjects::Allocate(size_t bytes) {
    void* block = std::calloc(std::max<size_t>(bytes, 1), 1);
    if (block == nullptr) {
        return nullptr;
    }
    try {
        MutexLock lock(mutex_);
        live_.insert(block);
    } catch (...) {
        std::free(block);
        return nullptr;
    }
    return block;
}

char* TextObjects::CopyUtf8(std::string_view text) {
    auto* copy = static_cast<char*>(Allocate(text.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text.data(), text.size());
    }
    return copy;
}

wchar_t* TextObjects::CopyWide(std::wstring_view text) {
    auto* copy = static_cast<wchar_t*>(Allocate((text.size() + 1) * sizeof(wchar_t)));
    if (copy != nullptr) {
        std::copy_n(text.data(), text.size(), copy);
    }
    return copy;
}

wchar_t* TextObjects::ReplaceWide(const wchar_t* text, void* previous) {
    // Copy first: the text may be the previous copy itself.
    wchar_t* copy = text != nullptr ? CopyWide(text) : nullptr;
    Release(previous);
    return copy;
}

bool TextObjects::Release(void* block) {
    if (block == nullptr) {
        return false;
    }
    {
        MutexLock lock(mutex_);
        if (live_.erase(block) == 0) {
            return false;
        }
    }
    std::free(block);
    return true;
}

bool TextObjects::Owns(const void* block) const {
    MutexLock lock(mutex_);
    return live_.count(const_cast<void*>(block)) != 0;
}

size_t TextObjects::LiveCount() const {
    MutexLock lock(mutex_);
    return live_.size();
}

// -- text files

bool AppendTextFile(void** slot, std::wstring_view path, const char* text, int length) {
    if (slot == nullptr) {
        return false;
    }
    if (*slot == nullptr) {
        std::FILE* file = OpenPath(ToFsPath(path), "ab");
        if (file == nullptr) {
            return false;
        }
        *slot = file;
    }
    auto* file = static_cast<std::FILE*>(*slot);
    if (text == nullptr) {
        return length <= 0;
    }
    const size_t count = length < 0 ? std::strlen(text) : static_cast<size_t>(length);
    const bool written = count == 0 || std::fwrite(text, 1, count, file) == count;
    return std::fflush(file) == 0 && written;
}

void CloseTextFile(void** slot) {
    if (slot == nullptr || *slot == nullptr) {
        return;
    }
    std::fclose(static_cast<std::FILE*>(*slot));
    *slot = nullptr;
}

std::FILE* OpenForReading(std::wstring_view path) {
    return OpenPath(ToFsPath(path), "rb");
}

bool AtEnd(std::FILE* file) {
    if (file == nullptr) {
        return true;
    }
    // Look one byte ahead, so that the end shows before a read has failed.
    // A read that failed is not the end: the lines after it are still there.
    std::clearerr(file);
    const int next = std::getc(file);
    if (next == EOF) {
        return !std::ferror(file);
    }
    std::ungetc(next, file);
    return false;
}

bool ReadLine(std::FILE* file, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) {
        return false;
    }
    buffer[0] = '\0';
    if (file == nullptr || size == 1) {
        return false;
    }
    return std::fgets(buffer, size, file) != nullptr;
}

void CloseFile(std::FILE* file) {
    if (file != nullptr) {
        std::fclose(file);
    }
}

}  // namespace kiln::host
