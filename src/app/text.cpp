#include "app/text.h"

#include <stdarg.h>

// Appends one unit to the output if there is room; `length` always counts.
static void put_unit(wchar_t *out, unsigned capacity, unsigned *length, wchar_t unit)
{
    if (*length + 1 < capacity)
        out[*length] = unit;
    (*length)++;
}

static void put_decimal(wchar_t *out, unsigned capacity, unsigned *length,
                        unsigned long long value, bool negative)
{
    wchar_t digits[24];
    int count = 0;
    do {
        digits[count++] = (wchar_t)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (negative)
        put_unit(out, capacity, length, L'-');
    while (count > 0)
        put_unit(out, capacity, length, digits[--count]);
}

unsigned format_text(wchar_t *out, unsigned capacity, const wchar_t *format, ...)
{
    va_list args;
    va_start(args, format);
    unsigned length = 0;
    for (const wchar_t *p = format; *p != 0; p++) {
        if (*p != L'%') {
            put_unit(out, capacity, &length, *p);
            continue;
        }
        if (p[1] == L's') {
            const wchar_t *s = va_arg(args, const wchar_t *);
            for (; s != nullptr && *s != 0; s++)
                put_unit(out, capacity, &length, *s);
            p += 1;
        } else if (p[1] == L'd') {
            int value = va_arg(args, int);
            // Negate in unsigned arithmetic so that INT_MIN survives.
            unsigned long long magnitude = value < 0 ? 0ull - (unsigned long long)value
                                                     : (unsigned long long)value;
            put_decimal(out, capacity, &length, magnitude & 0xFFFFFFFFull, value < 0);
            p += 1;
        } else if (p[1] == L'l' && p[2] == L'u') {
            put_decimal(out, capacity, &length, va_arg(args, unsigned long), false);
            p += 2;
        } else if (p[1] == L'%') {
            put_unit(out, capacity, &length, L'%');
            p += 1;
        } else {
            put_unit(out, capacity, &length, L'%');
        }
    }
    va_end(args);
    out[length < capacity ? length : capacity - 1] = 0;
    return length;
}

unsigned text_length(const wchar_t *text)
{
    unsigned length = 0;
    while (text[length] != 0)
        length++;
    return length;
}

bool text_equal(const wchar_t *a, const wchar_t *b)
{
    while (*a != 0 && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

bool text_contains(const wchar_t *haystack, const wchar_t *needle)
{
    if (needle[0] == 0)
        return true;
    if (haystack == nullptr)
        return false;
    for (; *haystack != 0; haystack++) {
        unsigned i = 0;
        while (needle[i] != 0 && haystack[i] == needle[i])
            i++;
        if (needle[i] == 0)
            return true;
    }
    return false;
}
