// The kernel's wide-string routines: _wcsnicmp and _snwprintf of its C
// run-time, and RtlFreeUnicodeString.
#include <cstdarg>
#include <string>

#include "platform/ex.h"
#include "platform/rtl.h"
#include "platform/wcs.h"
#include "sim/verifier.h"

namespace {

// The kernel's run-time folds only the ASCII letters.
WCHAR Lower(WCHAR c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c - u'A' + u'a') : c;
}

std::u16string Digits(unsigned long long value, unsigned base, bool upper)
{
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::u16string text;
    do {
        text.insert(text.begin(), static_cast<char16_t>(digits[value % base]));
        value /= base;
    } while (value != 0);
    return text;
}

// One conversion: flags "-" and "0", a width, and d, i, u, x, X, c, s (a wide
// string, as the Microsoft run-time reads %s in the wide functions) or %.
std::u16string Convert(const WCHAR *&format, va_list &arguments)
{
    bool left = false;
    bool zero = false;
    for (;; ++format) {
        if (*format == u'-') {
            left = true;
        } else if (*format == u'0') {
            zero = true;
        } else {
            break;
        }
    }
    size_t width = 0;
    while (*format >= u'0' && *format <= u'9') {
        width = width * 10 + (*format++ - u'0');
    }
    std::u16string text;
    bool numeric = true;
    switch (WCHAR conversion = *format++) {
    case u'd':
    case u'i': {
        int value = va_arg(arguments, int);
        text = (value < 0 ? u"-" : u"") +
               Digits(value < 0 ? 0ull - static_cast<long long>(value) : static_cast<unsigned long long>(value), 10,
                      false);
        break;
    }
    case u'u':
        text = Digits(va_arg(arguments, unsigned int), 10, false);
        break;
    case u'x':
    case u'X':
        text = Digits(va_arg(arguments, unsigned int), 16, conversion == u'X');
        break;
    case u'c':
        text = std::u16string(1, static_cast<char16_t>(va_arg(arguments, int)));
        numeric = false;
        break;
    case u's': {
        const WCHAR *string = va_arg(arguments, const WCHAR *);
        text = string == nullptr ? u"(null)" : std::u16string(reinterpret_cast<const char16_t *>(string));
        numeric = false;
        break;
    }
    case u'%':
        return u"%";
    default:
        sim::Violation("format.unsupported", "_snwprintf", "a conversion the sim does not know");
        if (conversion == 0) {
            --format;  // keep the terminator for the caller's loop
        }
        return u"";
    }
    if (text.size() < width) {
        size_t pad = width - text.size();
        if (left) {
            text.append(pad, u' ');
        } else if (zero && numeric) {
            text.insert(text[0] == u'-' ? 1 : 0, pad, u'0');
        } else {
            text.insert(0, pad, u' ');
        }
    }
    return text;
}

}  // namespace

extern "C" {

int _wcsnicmp(const WCHAR *String1, const WCHAR *String2, size_t Count)
{
    for (size_t i = 0; i < Count; ++i) {
        WCHAR a = Lower(String1[i]);
        WCHAR b = Lower(String2[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
        if (a == 0) {
            break;
        }
    }
    return 0;
}

int _snwprintf(WCHAR *Buffer, size_t Count, const WCHAR *Format, ...)
{
    std::u16string text;
    va_list arguments;
    va_start(arguments, Format);
    for (const WCHAR *p = Format; *p != 0;) {
        if (*p == u'%') {
            ++p;
            text += Convert(p, arguments);
        } else {
            text += static_cast<char16_t>(*p++);
        }
    }
    va_end(arguments);
    // Whatever fits is written; the terminator only when there is room for it.
    size_t written = text.size() < Count ? text.size() : Count;
    text.copy(reinterpret_cast<char16_t *>(Buffer), written);
    if (text.size() < Count) {
        Buffer[text.size()] = 0;
    }
    return text.size() > Count ? -1 : static_cast<int>(text.size());
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (UnicodeString->Buffer != nullptr) {
        ExFreePoolWithTag(UnicodeString->Buffer, 0);
    }
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

}  // extern "C"
