// Formats wide texts with the resource texts' printf conventions on both
// builds: "%s" and "%ws" take wide text, "%hs" narrow text, "%d", "%u",
// "%lld" numbers, "%%" a percent sign. The platform swprintf disagrees on
// what "%s" means, so resource texts never go through it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace kiln {

class FormatArg {
  public:
    FormatArg(const wchar_t* text) : kind_(Kind::Wide), wide_(text) {}
    FormatArg(const char* text) : kind_(Kind::Narrow), narrow_(text) {}
    FormatArg(int value) : kind_(Kind::Integer), integer_(value) {}
    FormatArg(long value) : kind_(Kind::Integer), integer_(value) {}
    FormatArg(long long value) : kind_(Kind::Integer), integer_(value) {}
    FormatArg(unsigned value) : kind_(Kind::Integer), integer_(value) {}

    enum class Kind { Wide, Narrow, Integer };
    Kind kind() const { return kind_; }
    const wchar_t* wide() const { return wide_; }
    const char* narrow() const { return narrow_; }
    long long integer() const { return integer_; }

  private:
    Kind kind_;
    const wchar_t* wide_ = nullptr;
    const char* narrow_ = nullptr;
    long long integer_ = 0;
};

// Writes at most size-1 characters and always terminates; returns the
// characters written. Missing or mismatched arguments insert nothing.
size_t FormatWide(wchar_t* out, size_t size, const wchar_t* format,
                  std::initializer_list<FormatArg> args);

// Bounded, terminated copy; returns the characters copied.
size_t CopyWide(wchar_t* out, size_t size, const wchar_t* text);

}  // namespace kiln
