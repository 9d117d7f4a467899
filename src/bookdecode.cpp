// Native book decoder. json.loads of a book text decodes the whole file into
// a str first, scans it as code units of its widest character, builds a
// throw-away dict per element and reads each float through a temporary str;
// loading then walks the result once more. This decoder reads the UTF-8
// bytes once and builds only what the book keeps. It accepts a strict
// subset of what json.loads accepts, with the same value for each accepted
// text (the same containers made the same way, each object key decoded once
// per text as the scanner's memo does); everything else goes back to the
// caller untouched, so every error and every unusual value stays the host's.
#include "bookdecode.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>

namespace r7u {
namespace {

// ---------------------------------------------------------------------------
// Byte scanning. The input ends in a NUL, which no scan accepts.
// ---------------------------------------------------------------------------
using uchar = unsigned char;

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
constexpr bool kLittle = std::endian::native == std::endian::little;

inline std::uint64_t load8(const uchar* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

// High bit set in the first byte of v that is a quote, a backslash, a
// control character or (with high) a non-ASCII byte; bytes above it may be
// marked wrongly, the first mark is exact.
template <bool high>
inline std::uint64_t string_stops(std::uint64_t v) {
    const std::uint64_t q = v ^ (kOnes * '"');
    const std::uint64_t b = v ^ (kOnes * '\\');
    std::uint64_t m = ((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((v - kOnes * 0x20) & ~v);
    if constexpr (high) m |= v;
    return m & kHighs;
}

inline bool is_digit(uchar c) { return static_cast<unsigned>(c - '0') < 10; }

// A growable byte buffer of the Python heap.
class Buffer {
public:
    Buffer() = default;
    ~Buffer() { PyMem_Free(data_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    char* data() { return data_; }
    // Room for n bytes from the start; false when out of memory.
    bool room(std::size_t n) {
        if (n <= cap_) return true;
        std::size_t cap = cap_ ? cap_ : 256;
        while (cap < n) cap *= 2;
        char* p = static_cast<char*>(PyMem_Realloc(data_, cap));
        if (!p) return false;
        data_ = p;
        cap_ = cap;
        return true;
    }

private:
    char* data_ = nullptr;
    std::size_t cap_ = 0;
};

// ---------------------------------------------------------------------------
// Object keys, decoded once per text: the scanner's memo gives every equal
// key of a document the same str object. Keyed by their UTF-8 bytes.
// ---------------------------------------------------------------------------
class KeyMemo {
public:
    KeyMemo() = default;
    ~KeyMemo() {
        for (std::size_t i = 0; slots_ && i <= mask_; ++i) Py_XDECREF(slots_[i].key);
        PyMem_Free(slots_);
    }
    KeyMemo(const KeyMemo&) = delete;
    KeyMemo& operator=(const KeyMemo&) = delete;

    // The key for the UTF-8 text s[0:n], made by `make` the first time: a
    // new reference, or null (with an exception set) when make failed or
    // memory ran out.
    template <class Make>
    PyObject* get(const char* s, std::size_t n, Make&& make) {
        std::uint64_t h = 1469598103934665603ULL;
        for (std::size_t i = 0; i < n; ++i) h = (h ^ static_cast<uchar>(s[i])) * 1099511628211ULL;
        if (!slots_ && !grow()) return nullptr;
        std::size_t i = static_cast<std::size_t>(h) & mask_;
        for (;; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (!slot.key) break;
            if (slot.hash == h && slot.len == n && (n == 0 || std::memcmp(arena_.data() + slot.off, s, n) == 0))
                return Py_NewRef(slot.key);
        }
        PyObject* key = make();
        if (!key) return nullptr;
        if (!arena_.room(used_bytes_ + n)) {
            Py_DECREF(key);
            return PyErr_NoMemory();
        }
        if (n) std::memcpy(arena_.data() + used_bytes_, s, n);
        slots_[i] = Slot{h, used_bytes_, n, Py_NewRef(key)};
        used_bytes_ += n;
        if (2 * ++used_ > mask_ && !grow()) {
            Py_DECREF(key);
            return nullptr;
        }
        return key;
    }

private:
    struct Slot {
        std::uint64_t hash;
        std::size_t off, len;
        PyObject* key;  // owned; null for a free slot
    };

    bool grow() {
        const std::size_t size = slots_ ? 2 * (mask_ + 1) : 64;
        auto* fresh = static_cast<Slot*>(PyMem_Calloc(size, sizeof(Slot)));
        if (!fresh) {
            PyErr_NoMemory();
            return false;
        }
        for (std::size_t i = 0; slots_ && i <= mask_; ++i) {
            if (!slots_[i].key) continue;
            std::size_t j = static_cast<std::size_t>(slots_[i].hash) & (size - 1);
            while (fresh[j].key) j = (j + 1) & (size - 1);
            fresh[j] = slots_[i];
        }
        PyMem_Free(slots_);
        slots_ = fresh;
        mask_ = size - 1;
        return true;
    }

    Slot* slots_ = nullptr;
    std::size_t mask_ = 0;
    std::size_t used_ = 0;
    Buffer arena_;
    std::size_t used_bytes_ = 0;
};

// ---------------------------------------------------------------------------
// The parser. Each step returns a new reference, or null: with an exception
// set for an error, without one where the text needs the ordinary road.
// The caller clears either; nothing is left behind.
// ---------------------------------------------------------------------------
// Nesting the decoder handles itself (the depth budget's kDecodeDepthCap);
// a deeper text goes the ordinary way.
constexpr int kMaxDepth = kDecodeDepthCap;

class Parser {
public:
    Parser(const char* data, std::size_t size)
        : p_(reinterpret_cast<const uchar*>(data)), end_(p_ + size) {}

    bool book(FormSink sink, void* context) {
        skip_ws();
        if (*p_ != '[') return false;
        RecursionGuard guard(" while decoding a book file");
        if (!guard.ok()) return false;
        ++p_;
        skip_ws();
        if (*p_ == ']') {
            ++p_;
        } else {
            for (;;) {
                if (!form(sink, context)) return false;
                skip_ws();
                if (*p_ == ']') {
                    ++p_;
                    break;
                }
                if (*p_ != ',') return false;
                ++p_;
                skip_ws();
            }
        }
        skip_ws();
        return p_ == end_;
    }

private:
    const uchar* p_;
    const uchar* end_;
    Buffer scratch_;
    KeyMemo memo_;

    void skip_ws() {
        for (;;) {
            if (end_ - p_ >= 8 && load8(p_) == kOnes * ' ') {
                p_ += 8;
                continue;
            }
            const uchar c = *p_;
            if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return;
            ++p_;
        }
    }

    // One element: "name", "description" and "attributes" once each, in
    // any order, and nothing else.
    bool form(FormSink sink, void* context) {
        if (*p_ != '{') return false;
        RecursionGuard guard(" while decoding a book file");
        if (!guard.ok()) return false;
        ++p_;
        Ref parts[3];  // name, description, attributes
        for (;;) {
            skip_ws();
            if (*p_ != '"') return false;
            const uchar* key = ++p_;
            while (*p_ >= 'a' && *p_ <= 'z') ++p_;
            if (*p_ != '"') return false;
            const auto n = static_cast<std::size_t>(p_ - key);
            ++p_;
            int which = n == 4 && !std::memcmp(key, "name", 4)          ? 0
                        : n == 11 && !std::memcmp(key, "description", 11) ? 1
                        : n == 10 && !std::memcmp(key, "attributes", 10)  ? 2
                                                                          : -1;
            if (which < 0 || parts[which]) return false;
            skip_ws();
            if (*p_ != ':') return false;
            ++p_;
            skip_ws();
            if (which == 0) {
                if (*p_ != '"') return false;
                ++p_;
                parts[0] = Ref::steal(string());
            } else {
                if (*p_ != '{') return false;
                parts[which] = Ref::steal(object(2));
            }
            if (!parts[which]) return false;
            skip_ws();
            if (*p_ == '}') break;
            if (*p_ != ',') return false;
            ++p_;
        }
        ++p_;
        if (!parts[0] || !parts[1] || !parts[2]) return false;
        return sink(context, parts[0].get(), parts[1].get(), parts[2].get()) > 0;
    }

    PyObject* value(int depth) {
        switch (*p_) {
            case '"':
                ++p_;
                return string();
            case '{':
                return object(depth);
            case '[':
                return array(depth);
            case 't':
                if (end_ - p_ >= 4 && !std::memcmp(p_, "true", 4)) {
                    p_ += 4;
                    return Py_NewRef(Py_True);
                }
                return nullptr;
            case 'f':
                if (end_ - p_ >= 5 && !std::memcmp(p_, "false", 5)) {
                    p_ += 5;
                    return Py_NewRef(Py_False);
                }
                return nullptr;
            default:
                // null, NaN and the infinities take the ordinary road.
                if (*p_ == '-' || is_digit(*p_)) return number();
                return nullptr;
        }
    }

    PyObject* object(int depth) {
        if (depth >= kMaxDepth) return nullptr;
        RecursionGuard guard(" while decoding a book file");
        if (!guard.ok()) return nullptr;
        ++p_;  // '{'
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        skip_ws();
        if (*p_ == '}') {
            ++p_;
            return dict.release();
        }
        Py_ssize_t pairs = 0;
        for (;;) {
            if (*p_ != '"') return nullptr;
            ++p_;
            Ref key = Ref::steal(string(true));
            if (!key) return nullptr;
            skip_ws();
            if (*p_ != ':') return nullptr;
            ++p_;
            skip_ws();
            Ref item = Ref::steal(value(depth + 1));
            if (!item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
            ++pairs;
            skip_ws();
            if (*p_ == '}') break;
            if (*p_ != ',') return nullptr;
            ++p_;
            skip_ws();
        }
        ++p_;
        // A key given twice: the later value wins in json.loads; left to it.
        if (PyDict_GET_SIZE(dict.get()) != pairs) return nullptr;
        return dict.release();
    }

    PyObject* array(int depth) {
        if (depth >= kMaxDepth) return nullptr;
        RecursionGuard guard(" while decoding a book file");
        if (!guard.ok()) return nullptr;
        ++p_;  // '['
        // Appended, as the scanner builds its lists.
        Ref list = Ref::steal(PyList_New(0));
        if (!list) return nullptr;
        skip_ws();
        if (*p_ == ']') {
            ++p_;
            return list.release();
        }
        for (;;) {
            Ref item = Ref::steal(value(depth + 1));
            if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
            skip_ws();
            if (*p_ == ']') break;
            if (*p_ != ',') return nullptr;
            ++p_;
            skip_ws();
        }
        ++p_;
        return list.release();
    }

    // The grammar of json's numbers. Integers of up to 18 digits are read
    // here, longer ones by the host (its digit limit applies); fractions and
    // exponents by std::from_chars, whose result, correctly rounded like
    // float()'s, is the same double; out of range (overflow to infinity or
    // underflow to zero) goes to the host too.
    PyObject* number() {
        const uchar* start = p_;
        const bool negative = *p_ == '-';
        if (negative) ++p_;
        std::uint64_t v = 0;
        int digits = 0;
        if (*p_ == '0') {
            ++p_;
            digits = 1;
        } else if (is_digit(*p_)) {
            for (; is_digit(*p_); ++p_, ++digits)
                if (digits < 19) v = v * 10 + (*p_ - '0');
        } else {
            return nullptr;
        }
        bool real = false;
        if (*p_ == '.') {
            ++p_;
            if (!is_digit(*p_)) return nullptr;
            while (is_digit(*p_)) ++p_;
            real = true;
        }
        if (*p_ == 'e' || *p_ == 'E') {
            ++p_;
            if (*p_ == '+' || *p_ == '-') ++p_;
            if (!is_digit(*p_)) return nullptr;
            while (is_digit(*p_)) ++p_;
            real = true;
        }
        if (!real) {
            if (digits > 18) return nullptr;
            const auto magnitude = static_cast<long long>(v);
            return PyLong_FromLongLong(negative ? -magnitude : magnitude);
        }
        double d = 0;
        const auto* first = reinterpret_cast<const char*>(start);
        const auto* last = reinterpret_cast<const char*>(p_);
        const auto r = std::from_chars(first, last, d);
        if (r.ec != std::errc() || r.ptr != last) return nullptr;
        return PyFloat_FromDouble(d);
    }

    // A string after its opening quote, the quote after it consumed. Keys
    // (memo) come from the memo.
    PyObject* string(bool memo = false) {
        const uchar* start = p_;
        bool ascii = true;
        std::uint64_t m;
        // ASCII without escapes, eight bytes at a time where the input allows.
        if constexpr (kLittle) {
            m = 0;
            while (end_ - p_ >= 8 && (m = string_stops<true>(load8(p_))) == 0) p_ += 8;
            if (m) p_ += std::countr_zero(m) / 8;
        }
        for (;;) {
            const uchar c = *p_;
            if (c == '"') break;
            if (c == '\\') return escaped(start, ascii, memo);
            if (c < 0x20) return nullptr;  // a control character, or the end
            if (c >= 0x80) {
                ascii = false;
                ++p_;
                if constexpr (kLittle) {
                    m = 0;
                    while (end_ - p_ >= 8 && (m = string_stops<false>(load8(p_))) == 0) p_ += 8;
                    if (m) p_ += std::countr_zero(m) / 8;
                }
                continue;
            }
            ++p_;
        }
        const auto* s = reinterpret_cast<const char*>(start);
        const auto n = static_cast<std::size_t>(p_ - start);
        ++p_;
        if (memo) return memo_.get(s, n, [&] { return make_str(s, n, ascii); });
        return make_str(s, n, ascii);
    }

    // The str of UTF-8 text: ASCII copied as it is, anything else decoded
    // strictly (invalid UTF-8 fails there and goes to the host).
    static PyObject* make_str(const char* s, std::size_t n, bool ascii) {
        if (!ascii || n < 2) return PyUnicode_DecodeUTF8(s, static_cast<Py_ssize_t>(n), nullptr);
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
        if (str) std::memcpy(PyUnicode_1BYTE_DATA(str), s, n);
        return str;
    }

    static int hex4(const uchar* p) {
        int v = 0;
        for (int i = 0; i < 4; ++i) {
            const uchar c = p[i];
            int d;
            if (is_digit(c)) d = c - '0';
            else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
            else return -1;
            v = v * 16 + d;
        }
        return v;
    }

    // The rest of a string with escapes, from `start`, into UTF-8 in the
    // scratch buffer; what came before the first backslash is copied as is.
    // The text never grows: the input's length is room enough.
    PyObject* escaped(const uchar* start, bool ascii, bool memo) {
        const uchar* close = p_;
        for (;;) {
            const uchar c = *close;
            if (c == '"') break;
            if (c < 0x20) return nullptr;  // a control character, or the end
            if (c == '\\') {
                if (end_ - close < 2) return nullptr;
                close += 2;
            } else {
                ++close;
            }
        }
        if (!scratch_.room(static_cast<std::size_t>(close - start))) return PyErr_NoMemory();
        char* out = scratch_.data();
        char* o = out;
        std::memcpy(o, start, static_cast<std::size_t>(p_ - start));
        o += p_ - start;
        for (;;) {
            uchar c = *p_;
            if (c == '"') break;
            if (c < 0x20) return nullptr;
            if (c != '\\') {
                if (c >= 0x80) ascii = false;
                *o++ = static_cast<char>(c);
                ++p_;
                continue;
            }
            c = p_[1];
            p_ += 2;
            switch (c) {
                case '"': *o++ = '"'; continue;
                case '\\': *o++ = '\\'; continue;
                case '/': *o++ = '/'; continue;
                case 'b': *o++ = '\b'; continue;
                case 'f': *o++ = '\f'; continue;
                case 'n': *o++ = '\n'; continue;
                case 'r': *o++ = '\r'; continue;
                case 't': *o++ = '\t'; continue;
                case 'u': break;
                default: return nullptr;
            }
            if (end_ - p_ < 4) return nullptr;
            int u = hex4(p_);
            if (u < 0) return nullptr;
            p_ += 4;
            std::uint32_t cp = static_cast<std::uint32_t>(u);
            if (cp >= 0xdc00 && cp <= 0xdfff) return nullptr;  // a lone low surrogate
            if (cp >= 0xd800 && cp <= 0xdbff) {
                // Only a pair makes a character; a lone half is the host's.
                if (end_ - p_ < 6 || p_[0] != '\\' || p_[1] != 'u') return nullptr;
                int low = hex4(p_ + 2);
                if (low < 0xdc00 || low > 0xdfff) return nullptr;
                p_ += 6;
                cp = 0x10000 + ((cp - 0xd800) << 10) + (static_cast<std::uint32_t>(low) - 0xdc00);
            }
            if (cp < 0x80) {
                *o++ = static_cast<char>(cp);
                continue;
            }
            ascii = false;
            if (cp < 0x800) {
                *o++ = static_cast<char>(0xc0 | (cp >> 6));
            } else if (cp < 0x10000) {
                *o++ = static_cast<char>(0xe0 | (cp >> 12));
                *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            } else {
                *o++ = static_cast<char>(0xf0 | (cp >> 18));
                *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
                *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            }
            *o++ = static_cast<char>(0x80 | (cp & 0x3f));
        }
        ++p_;
        const auto n = static_cast<std::size_t>(o - out);
        if (memo) return memo_.get(out, n, [&] { return make_str(out, n, ascii); });
        return make_str(out, n, ascii);
    }
};

}  // namespace

bool decode_book_bytes(const char* data, std::size_t size, FormSink sink, void* context) {
    if (!data || data[size] != '\0') return false;
    // With fewer frames left than json.loads needs to start, the host would
    // raise RecursionError: the ordinary road must. Its scanner takes no
    // frame per level, so the nesting itself is not held to the frames.
    if (stand_in_levels(kMaxDepth) < 0) return false;
    bool done;
    {
        Parser parser(data, size);
        done = parser.book(sink, context);
    }
    // Whatever stopped the decoder is the host's to meet, or not, again.
    if (!done) PyErr_Clear();
    return done;
}

}  // namespace r7u
