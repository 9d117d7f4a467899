// The characters of a str copied into the book text in runs: a run ends at
// the next character that needs an escape (or, for UTF-8, at the next one
// outside ASCII), found 16 bytes at a time with SSE2 (part of every x86-64
// processor) and one character at a time elsewhere. Used by booktext.cpp.
#pragma once

#include "compat.hpp"

#include <bit>
#include <cstdint>

// R7U_NO_SIMD builds the portable loops alone, as on other processors.
#if !defined(R7U_NO_SIMD) && (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#include <emmintrin.h>
#define R7U_SSE2 1
#else
#define R7U_SSE2 0
#endif

// The one load that may read past the end of a str's data, never past its
// page: the sanitizer would take it for an overflow.
#if defined(__clang__) || defined(__GNUC__)
#define R7U_NO_ASAN __attribute__((no_sanitize_address))
#elif defined(_MSC_VER)
#define R7U_NO_ASAN __declspec(no_sanitize_address)
#else
#define R7U_NO_ASAN
#endif

namespace r7u::textrun {

// Units a run, a newline or a token may store past the end it reports: the
// buffer keeps this much room beyond every reservation.
constexpr Py_ssize_t kPad = 16;

// The escape letter of a character below U+0080 inside a JSON string: 0 for
// none, 'u' for the \u00XX form.
constexpr auto kEscapes = [] {
    struct Table {
        char c[128];
    } t{};
    for (int i = 0; i < 0x20; ++i) t.c[i] = 'u';
    t.c['\b'] = 'b';
    t.c['\f'] = 'f';
    t.c['\n'] = 'n';
    t.c['\r'] = 'r';
    t.c['\t'] = 't';
    t.c['"'] = '"';
    t.c['\\'] = '\\';
    return t;
}();

template <class C>
inline bool needs_escape(C c) {
    return c < 0x80 && kEscapes.c[c] != 0;
}

// Writes the escape of `c` (one that needs_escape) at `d`, at most 6 units;
// returns the end.
template <class D>
inline D* write_escape(D* d, unsigned c) {
    static constexpr char hex[] = "0123456789abcdef";
    const char e = kEscapes.c[c];
    *d++ = '\\';
    if (e != 'u') {
        *d++ = static_cast<D>(e);
        return d;
    }
    *d++ = 'u';
    *d++ = '0';
    *d++ = '0';
    *d++ = static_cast<D>(hex[c >> 4]);
    *d++ = static_cast<D>(hex[c & 15]);
    return d;
}

// Where a run stops: an escape, or with Utf8 any character outside ASCII.
template <bool Utf8, class C>
inline bool stops(C c) {
    return Utf8 ? c >= 0x80 || needs_escape(c) : needs_escape(c);
}

#if R7U_SSE2
// 16 bytes at p when they lie on p's page, even past the end of the data:
// memory there is mapped, and what lies past the end is masked off.
R7U_NO_ASAN inline __m128i load_within_page(const void* p) {
    return _mm_loadu_si128(static_cast<const __m128i*>(p));
}
inline bool page_holds_16(const void* p) { return (reinterpret_cast<std::uintptr_t>(p) & 4095) <= 4096 - 16; }

// One vector of the source: the stop mask (one bit per byte) and the units
// stored at d, widened or, for UTF-8, narrowed.
template <bool Utf8, class D>
inline unsigned vector_step(const Py_UCS1* s, D* d) {
    const __m128i v = load_within_page(s);
    const __m128i low = _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(0x1f)), _mm_setzero_si128());
    const __m128i esc = _mm_or_si128(low, _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                         _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
    unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(esc));
    if constexpr (Utf8) mask |= static_cast<unsigned>(_mm_movemask_epi8(v));
    if constexpr (sizeof(D) == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
    } else if constexpr (sizeof(D) == 2) {
        const __m128i z = _mm_setzero_si128();
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi8(v, z));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 8), _mm_unpackhi_epi8(v, z));
    } else {
        const __m128i z = _mm_setzero_si128();
        const __m128i lo = _mm_unpacklo_epi8(v, z), hi = _mm_unpackhi_epi8(v, z);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi16(lo, z));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4), _mm_unpackhi_epi16(lo, z));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 8), _mm_unpacklo_epi16(hi, z));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 12), _mm_unpackhi_epi16(hi, z));
    }
    return mask;
}

template <bool Utf8, class D>
inline unsigned vector_step(const Py_UCS2* s, D* d) {
    const __m128i v = load_within_page(s);
    const __m128i z = _mm_setzero_si128();
    const __m128i low = _mm_cmpeq_epi16(_mm_subs_epu16(v, _mm_set1_epi16(0x1f)), z);
    __m128i stop = _mm_or_si128(low, _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16('"')),
                                                   _mm_cmpeq_epi16(v, _mm_set1_epi16('\\'))));
    if constexpr (Utf8) {
        const __m128i ascii = _mm_cmpeq_epi16(_mm_subs_epu16(v, _mm_set1_epi16(0x7f)), z);
        stop = _mm_or_si128(stop, _mm_andnot_si128(ascii, _mm_set1_epi16(-1)));
        // Lanes past the stop may saturate: they are not kept.
        _mm_storel_epi64(reinterpret_cast<__m128i*>(d), _mm_packus_epi16(v, v));
    } else if constexpr (sizeof(D) == 2) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), _mm_unpacklo_epi16(v, z));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d + 4), _mm_unpackhi_epi16(v, z));
    }
    return static_cast<unsigned>(_mm_movemask_epi8(stop));
}

template <bool Utf8, class D>
inline unsigned vector_step(const Py_UCS4* s, D* d) {
    const __m128i v = load_within_page(s);
    // Code points stay below 2^31: the signed compares hold.
    __m128i stop = _mm_or_si128(_mm_cmplt_epi32(v, _mm_set1_epi32(0x20)),
                                _mm_or_si128(_mm_cmpeq_epi32(v, _mm_set1_epi32('"')),
                                             _mm_cmpeq_epi32(v, _mm_set1_epi32('\\'))));
    if constexpr (Utf8) {
        stop = _mm_or_si128(stop, _mm_cmpgt_epi32(v, _mm_set1_epi32(0x7f)));
        const __m128i packed = _mm_packs_epi32(v, v);
        const int four = _mm_cvtsi128_si32(_mm_packus_epi16(packed, packed));
        std::memcpy(d, &four, 4);
    } else {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
    }
    return static_cast<unsigned>(_mm_movemask_epi8(stop));
}
#endif

// Copies s[i:n] to d up to the first character that stops a run, and
// returns its index (n when there is none), with d moved past what was
// copied. D is at least as wide as S, or with Utf8 one byte. May store up
// to kPad units past the new d.
template <bool Utf8, class S, class D>
inline Py_ssize_t plain_run(const S* s, Py_ssize_t i, Py_ssize_t n, D*& d) {
#if R7U_SSE2
    constexpr Py_ssize_t per = 16 / sizeof(S);
    while (i < n) {
        const Py_ssize_t left = n - i;
        if (left < per && !page_holds_16(s + i)) break;
        unsigned mask = vector_step<Utf8>(s + i, d);
        if (left < per) mask |= ~0u << (left * sizeof(S));
        if (mask) {
            const Py_ssize_t k = std::countr_zero(mask) / static_cast<int>(sizeof(S));
            d += k;
            return i + k;
        }
        d += per;
        i += per;
    }
#endif
    for (; i < n; ++i) {
        const auto c = static_cast<Py_UCS4>(s[i]);
        if (stops<Utf8>(c)) break;
        *d++ = static_cast<D>(c);
    }
    return i;
}

// Encodes the characters of s[i:n] outside ASCII into UTF-8 at d, up to
// the next ASCII character; false at a lone surrogate, which has no UTF-8.
template <class S>
inline bool utf8_wide_run(const S* s, Py_ssize_t& i, Py_ssize_t n, unsigned char*& d) {
    for (; i < n; ++i) {
        const auto c = static_cast<Py_UCS4>(s[i]);
        if (c < 0x80) break;
        if (c < 0x800) {
            d[0] = static_cast<unsigned char>(0xc0 | (c >> 6));
            d[1] = static_cast<unsigned char>(0x80 | (c & 0x3f));
            d += 2;
        } else if (c < 0x10000) {
            if (c >= 0xd800 && c <= 0xdfff) return false;
            d[0] = static_cast<unsigned char>(0xe0 | (c >> 12));
            d[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3f));
            d[2] = static_cast<unsigned char>(0x80 | (c & 0x3f));
            d += 3;
        } else {
            d[0] = static_cast<unsigned char>(0xf0 | (c >> 18));
            d[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3f));
            d[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3f));
            d[3] = static_cast<unsigned char>(0x80 | (c & 0x3f));
            d += 4;
        }
    }
    return true;
}

// The UTF-8 length of s[0:n] beyond one byte a character.
template <class S>
inline Py_ssize_t utf8_extra(const S* s, Py_ssize_t n) {
    Py_ssize_t extra = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const auto c = static_cast<Py_UCS4>(s[i]);
        extra += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
    }
    return extra;
}

// `n` spaces at d; may store up to kPad units past them.
template <class D>
inline D* spaces(D* d, Py_ssize_t n) {
#if R7U_SSE2
    constexpr Py_ssize_t per = 16 / sizeof(D);
    const __m128i v = sizeof(D) == 1   ? _mm_set1_epi8(' ')
                      : sizeof(D) == 2 ? _mm_set1_epi16(' ')
                                       : _mm_set1_epi32(' ');
    for (Py_ssize_t k = 0; k < n; k += per) _mm_storeu_si128(reinterpret_cast<__m128i*>(d + k), v);
#else
    for (Py_ssize_t k = 0; k < n; ++k) d[k] = ' ';
#endif
    return d + n;
}

}  // namespace r7u::textrun
