// Small text helpers for a program without a C runtime.
//
// Every user-visible text and every path lives in a fixed-size UTF-16 buffer
// and is written by format_text, which cuts what does not fit and always
// terminates the buffer.
#pragma once

// Formats `format` into `out`, a buffer of `capacity` UTF-16 units including
// the terminating NUL (capacity must be at least 1). Understands:
//   %s   a NUL-terminated UTF-16 string (a null pointer prints nothing)
//   %d   an int in decimal
//   %lu  an unsigned long in decimal
//   %%   a percent sign
// Any other sequence after % is copied as it stands. Output beyond
// capacity - 1 units is cut. Returns the length the whole text would have
// had, so a result >= capacity tells the caller that the text was cut.
unsigned format_text(wchar_t *out, unsigned capacity, const wchar_t *format, ...);

// Number of units before the terminating NUL.
unsigned text_length(const wchar_t *text);

// True when the two strings are equal unit for unit (case-sensitive).
bool text_equal(const wchar_t *a, const wchar_t *b);

// True when `needle` occurs in `haystack` as a case-sensitive substring. A
// null haystack counts as empty; an empty needle is always found.
bool text_contains(const wchar_t *haystack, const wchar_t *needle);
