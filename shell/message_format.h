// A message's format: a string literal of at most 63 characters whose
// conversions take exactly the arguments given with it. Both are checked
// when the code is built, so a message that could not be printed, or would
// be printed from the wrong arguments, never builds.
#pragma once

#include <stddef.h>

#include <type_traits>

inline constexpr size_t kMaxMessageFormat = 63;

namespace message_format {

// What a conversion takes: %d, %i, %c and a * width or precision an int;
// %u, %x, %X an unsigned; %s a string.
enum class Arg { kInt, kUnsigned, kText, kOther };

template <typename T>
consteval Arg kind_of() {
    if constexpr (std::is_same_v<T, int>) return Arg::kInt;
    if constexpr (std::is_same_v<T, unsigned>) return Arg::kUnsigned;
    if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>) return Arg::kText;
    return Arg::kOther;
}

// Whether the next argument of args (count of them, *next the first not yet
// taken) is of kind wanted; takes it.
consteval bool take(const Arg* args, size_t count, size_t* next, Arg wanted) {
    return *next < count && args[(*next)++] == wanted;
}

// Whether format's conversions take args in order, and all of them. A
// conversion is '%', flags (-+ #0), a width and a precision (digits or *),
// and one of the letters above; "%%" is a percent sign.
consteval bool fits(const char* format, const Arg* args, size_t count) {
    size_t next = 0;
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%' || *++f == '%') continue;
        while (*f == '-' || *f == '+' || *f == ' ' || *f == '#' || *f == '0')
            ++f;
        for (int part = 0; part < 2; ++part) {  // the width, then the precision
            if (part == 1 && *f != '.') break;
            if (part == 1) ++f;
            if (*f == '*' && !take(args, count, &next, Arg::kInt)) return false;
            if (*f == '*') ++f;
            while (*f >= '0' && *f <= '9')
                ++f;
        }
        const Arg wanted = *f == 'd' || *f == 'i' || *f == 'c'   ? Arg::kInt
                           : *f == 'u' || *f == 'x' || *f == 'X' ? Arg::kUnsigned
                           : *f == 's'                           ? Arg::kText
                                                                 : Arg::kOther;
        if (wanted == Arg::kOther || !take(args, count, &next, wanted)) return false;
    }
    return next == count;
}

// Never defined: reached while a format is checked, it fails the build.
void format_does_not_fit_its_arguments();

}  // namespace message_format

// The format of a message printed with the arguments Args.
template <typename... Args>
class MessageFormat {
  public:
    template <size_t N>
    consteval MessageFormat(const char (&format)[N]) : text_(format) {
        static_assert(N - 1 <= kMaxMessageFormat, "a message format holds at most 63 characters");
        constexpr message_format::Arg kinds[] = {message_format::kind_of<Args>()...,
                                                 message_format::Arg::kOther};
        if (!message_format::fits(format, kinds, sizeof...(Args))) {
            message_format::format_does_not_fit_its_arguments();
        }
    }
    const char* text() const { return text_; }

  private:
    const char* text_;
};
