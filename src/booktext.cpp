// Native book text: the text json.dumps(forms, indent=4, ensure_ascii=False)
// gives, written in one pass into one growable buffer. The standard encoder
// runs in pure Python whenever indent is set, which made it most of the cost
// of str(book) and of every save. Whatever this writer cannot vouch for goes
// back to the Python encoder, so results and errors stay exactly its own.
#include "booktext.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

namespace r7u {
namespace {

// ---------------------------------------------------------------------------
// The buffer is the result itself: a str of the kind that holds the widest
// character of the text (known before writing starts), or a bytes object for
// UTF-8, grown in place and cut to its length at the end. A large block
// grows by remapping its pages, never by copying the text, and only the
// pages written to take memory.
// ---------------------------------------------------------------------------
class Writer {
public:
    // utf8: a bytes object of UTF-8; else a str whose kind holds maxchar.
    Writer(bool utf8, Py_UCS4 maxchar) : utf8_(utf8), maxchar_(utf8 ? 0x7f : maxchar) {}
    ~Writer() { Py_XDECREF(obj_); }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    // Makes the result with room for `cap` units; false with MemoryError set.
    bool start(Py_ssize_t cap) {
        obj_ = utf8_ ? PyBytes_FromStringAndSize(nullptr, cap) : PyUnicode_New(cap, maxchar_);
        if (!obj_) return false;
        kind_ = utf8_ ? 1 : PyUnicode_KIND(obj_);
        if (!utf8_) maxchar_ = PyUnicode_MAX_CHAR_VALUE(obj_);
        cap_ = cap;
        point();
        return true;
    }

    int kind() const { return kind_; }
    Py_UCS4 maxchar() const { return maxchar_; }
    void* at_end() { return data_ + len_ * kind_; }
    void set_length(Py_ssize_t n) { len_ = n; }
    void* base() { return data_; }

    // Room for `n` more code units; false with MemoryError set.
    bool reserve(Py_ssize_t n) { return cap_ - len_ >= n || grow(n); }

    // ASCII text; the room must be reserved.
    void ascii(const char* s, Py_ssize_t n) {
        switch (kind_) {
            case 1: std::memcpy(at_end(), s, static_cast<size_t>(n)); break;
            case 2: widen_copy(static_cast<Py_UCS2*>(at_end()), s, n); break;
            default: widen_copy(static_cast<Py_UCS4*>(at_end()), s, n); break;
        }
        len_ += n;
    }

    // A line end and the indentation of `level`, after an optional comma.
    bool newline(int level, bool comma) {
        Py_ssize_t n = static_cast<Py_ssize_t>(comma) + 1 + 4 * static_cast<Py_ssize_t>(level);
        if (!reserve(n)) return false;
        switch (kind_) {
            case 1: {
                char* d = static_cast<char*>(at_end());
                if (comma) *d++ = ',';
                *d++ = '\n';
                std::memset(d, ' ', static_cast<size_t>(4 * level));
                break;
            }
            case 2: fill_newline(static_cast<Py_UCS2*>(at_end()), level, comma); break;
            default: fill_newline(static_cast<Py_UCS4*>(at_end()), level, comma); break;
        }
        len_ += n;
        return true;
    }

    // The result, cut to the text written; null with MemoryError set.
    PyObject* finish() {
        if (!resize(len_)) return nullptr;
        return std::exchange(obj_, nullptr);
    }

private:
    template <class D>
    static void widen_copy(D* d, const char* s, Py_ssize_t n) {
        for (Py_ssize_t i = 0; i < n; ++i) d[i] = static_cast<unsigned char>(s[i]);
    }
    template <class D>
    static void fill_newline(D* d, int level, bool comma) {
        if (comma) *d++ = ',';
        *d++ = '\n';
        std::fill_n(d, 4 * level, D(' '));
    }

    void point() {
        data_ = utf8_ ? PyBytes_AS_STRING(obj_) : static_cast<char*>(PyUnicode_DATA(obj_));
    }

    // A failed resize leaves a str as it was and frees a bytes object.
    bool resize(Py_ssize_t cap) {
        if (cap == cap_) return true;
        if ((utf8_ ? _PyBytes_Resize(&obj_, cap) : PyUnicode_Resize(&obj_, cap)) < 0) return false;
        cap_ = cap;
        point();
        return true;
    }

    // Doubling while small; above 64 MiB by a quarter, so that the address
    // space reserved stays near the text.
    R7U_NOINLINE bool grow(Py_ssize_t n) {
        const Py_ssize_t limit = PY_SSIZE_T_MAX / 4 - 64;
        if (n > limit - len_) {
            PyErr_NoMemory();
            return false;
        }
        const Py_ssize_t step = cap_ * kind_ < (Py_ssize_t{64} << 20) ? cap_ : cap_ / 4;
        return resize(std::max(len_ + n, cap_ < limit - step ? cap_ + step : limit));
    }

    PyObject* obj_ = nullptr;  // the result being written; owned
    char* data_ = nullptr;
    Py_ssize_t len_ = 0;  // code units written
    Py_ssize_t cap_ = 0;  // code units that fit
    int kind_ = 1;
    bool utf8_;
    Py_UCS4 maxchar_;
};

// float.__repr__ of a finite x into out (at least 32 chars); the length.
// The digits are the shortest that read back as x, the nearest to x among
// them: what std::to_chars gives, and what repr gives where
// sys.float_repr_style is "short". Around them goes repr's layout: exponent
// form below 1e-4 and from 1e16 up ("1.5e-05", "1e+16"), else positional
// with ".0" after an integer. Saves PyOS_double_to_string's allocation and
// its slower digit search.
int float_repr(double x, char* out) {
    char sci[32];
    const char* end = std::to_chars(sci, sci + sizeof sci, x, std::chars_format::scientific).ptr;
    const char* p = sci;
    char* o = out;
    if (*p == '-') *o++ = *p++;
    char digits[20];
    int nd = 0;
    digits[nd++] = *p++;
    if (*p == '.')
        for (++p; *p != 'e'; ++p) digits[nd++] = *p;
    ++p;  // 'e'
    bool negative_exp = *p++ == '-';
    int e = 0;
    while (p < end) e = e * 10 + (*p++ - '0');
    if (negative_exp) e = -e;
    int point = e + 1;  // digits before the decimal point
    if (point <= -4 || point > 16) {
        *o++ = digits[0];
        if (nd > 1) {
            *o++ = '.';
            o = std::copy_n(digits + 1, nd - 1, o);
        }
        *o++ = 'e';
        *o++ = e < 0 ? '-' : '+';
        int a = e < 0 ? -e : e;
        if (a >= 100) *o++ = static_cast<char>('0' + a / 100);
        *o++ = static_cast<char>('0' + a / 10 % 10);
        *o++ = static_cast<char>('0' + a % 10);
    } else if (point <= 0) {
        *o++ = '0';
        *o++ = '.';
        o = std::fill_n(o, -point, '0');
        o = std::copy_n(digits, nd, o);
    } else if (point < nd) {
        o = std::copy_n(digits, point, o);
        *o++ = '.';
        o = std::copy_n(digits + point, nd - point, o);
    } else {
        o = std::copy_n(digits, nd, o);
        o = std::fill_n(o, point - nd, '0');
        *o++ = '.';
        *o++ = '0';
    }
    return static_cast<int>(o - out);
}

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

// ---------------------------------------------------------------------------
// The walk. Each step returns 1 when written, 0 when the value must go to the
// Python encoder, -1 with an exception set.
// ---------------------------------------------------------------------------
class Encoder {
public:
    // levels: most container levels written natively (see Level).
    // utf8: write the UTF-8 encoding of the text instead of its code units;
    // else code units of the kind that holds maxchar.
    Encoder(int levels, bool utf8, bool short_repr, Py_UCS4 maxchar)
        : levels_left_(levels), utf8_(utf8), short_repr_(short_repr), w_(utf8, maxchar) {}

    bool start(Py_ssize_t cap) { return w_.start(cap); }
    int top(PyObject* o) { return value(o, 0); }

    // The list of the parameters' forms, each as to_dict would make it.
    int forms(const FormParts* parts, Py_ssize_t n) {
        if (n == 0) return ascii("[]", 2);
        Level guard(*this);
        if (!guard.ok()) return 0;
        if (ascii("[", 1) < 0) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!w_.newline(1, i != 0)) return -1;
            int r = form(parts[i]);
            if (r <= 0) return r;
        }
        if (!w_.newline(0, false)) return -1;
        return ascii("]", 1);
    }

    PyObject* finish() { return w_.finish(); }

private:
    int form(const FormParts& p) {
        Level guard(*this);
        if (!guard.ok()) return 0;
        PyObject* const members[3][2] = {
            {N->name, p.name}, {N->description, p.description}, {N->attributes, p.attributes}};
        if (ascii("{", 1) < 0) return -1;
        for (int i = 0; i < 3; ++i) {
            if (!w_.newline(2, i != 0)) return -1;
            int r = string(members[i][0]);
            if (r <= 0) return r;
            if (ascii(": ", 2) < 0) return -1;
            r = value(members[i][1], 2);
            if (r <= 0) return r;
        }
        if (!w_.newline(1, false)) return -1;
        return ascii("}", 1);
    }

    int levels_left_;
    bool utf8_;
    bool short_repr_;  // float.__repr__ gives the shortest digits
    Writer w_;

    // The one guard of each container written: false when the value must go
    // to the Python encoder instead. That encoder needs one frame per level,
    // so past the levels the recursion budget allows it decides (and may
    // raise RecursionError); a cycle ends there as well and gets its
    // "Circular reference detected". The recursion guard keeps the walk
    // within the thread's stack.
    class Level {
    public:
        explicit Level(Encoder& e) : e_(e), guard_(" while writing a book text") {
            ok_ = e_.levels_left_ > 0 && guard_.ok();
            if (!guard_.ok()) PyErr_Clear();
            if (ok_) --e_.levels_left_;
        }
        ~Level() {
            if (ok_) ++e_.levels_left_;
        }
        Level(const Level&) = delete;
        Level& operator=(const Level&) = delete;
        bool ok() const { return ok_; }

    private:
        Encoder& e_;
        RecursionGuard guard_;
        bool ok_;
    };

    int value(PyObject* o, int level) {
        PyTypeObject* t = Py_TYPE(o);
        if (t == &PyUnicode_Type) return string(o);
        if (t == &PyDict_Type) return dict(o, level);
        if (t == &PyList_Type || t == &PyTuple_Type) return sequence(o, level);
        if (t == &PyLong_Type) return integer(o);
        if (t == &PyFloat_Type) return real(PyFloat_AS_DOUBLE(o));
        if (o == Py_True) return ascii("true", 4);
        if (o == Py_False) return ascii("false", 5);
        if (o == Py_None) return ascii("null", 4);
        return 0;
    }

    int ascii(const char* s, Py_ssize_t n) {
        if (!w_.reserve(n)) return -1;
        w_.ascii(s, n);
        return 1;
    }

    // No user code runs while a container is written (every value is of an
    // exact built-in type), so the items cannot change under the walk.
    int sequence(PyObject* o, int level) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        if (n == 0) return ascii("[]", 2);
        Level guard(*this);
        if (!guard.ok()) return 0;
        if (ascii("[", 1) < 0) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!w_.newline(level + 1, i != 0)) return -1;
            int r = value(PySequence_Fast_GET_ITEM(o, i), level + 1);
            if (r <= 0) return r;
        }
        if (!w_.newline(level, false)) return -1;
        return ascii("]", 1);
    }

    int dict(PyObject* o, int level) {
        if (PyDict_GET_SIZE(o) == 0) return ascii("{}", 2);
        Level guard(*this);
        if (!guard.ok()) return 0;
        if (ascii("{", 1) < 0) return -1;
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        bool first = true;
        while (PyDict_Next(o, &pos, &key, &item)) {
            if (!w_.newline(level + 1, !first)) return -1;
            first = false;
            int r = dict_key(key);
            if (r <= 0) return r;
            if (ascii(": ", 2) < 0) return -1;
            r = value(item, level + 1);
            if (r <= 0) return r;
        }
        if (!w_.newline(level, false)) return -1;
        return ascii("}", 1);
    }

    // Keys as the encoder turns them into strings; any other key type is its
    // TypeError, left to it.
    int dict_key(PyObject* key) {
        PyTypeObject* t = Py_TYPE(key);
        if (t == &PyUnicode_Type) return string(key);
        if (key == Py_True) return ascii("\"true\"", 6);
        if (key == Py_False) return ascii("\"false\"", 7);
        if (key == Py_None) return ascii("\"null\"", 6);
        int r;
        if (t == &PyLong_Type) r = ascii("\"", 1) < 0 ? -1 : integer(key);
        else if (t == &PyFloat_Type) r = ascii("\"", 1) < 0 ? -1 : real(PyFloat_AS_DOUBLE(key));
        else return 0;
        return r <= 0 ? r : ascii("\"", 1);
    }

    int integer(PyObject* o) {
        auto* v = reinterpret_cast<PyLongObject*>(o);
        if (PyUnstable_Long_IsCompact(v)) {
            char buf[24];
            auto res = std::to_chars(buf, buf + sizeof buf, PyUnstable_Long_CompactValue(v));
            return ascii(buf, res.ptr - buf);
        }
        // int.__repr__, with its digit limit: over the limit the encoder
        // raises the same ValueError itself.
        Ref text = Ref::steal(PyLong_Type.tp_repr(o));
        if (!text) return give_up();
        return ascii(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.get())),
                     PyUnicode_GET_LENGTH(text.get()));
    }

    // float.__repr__ for finite values, the encoder's names for the others.
    int real(double x) {
        if (std::isnan(x)) return ascii("NaN", 3);
        if (std::isinf(x)) return x > 0 ? ascii("Infinity", 8) : ascii("-Infinity", 9);
        if (short_repr_) {
            char buf[32];
            return ascii(buf, float_repr(x, buf));
        }
        std::unique_ptr<char, decltype(&PyMem_Free)> text(
            PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr), &PyMem_Free);
        if (!text) return -1;
        return ascii(text.get(), static_cast<Py_ssize_t>(std::strlen(text.get())));
    }

    // A failure the Python encoder would meet the same way goes back to it,
    // which raises it there; only running out of memory stops here.
    static int give_up() {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
        PyErr_Clear();
        return 0;
    }

    int string(PyObject* s) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        int kind = PyUnicode_KIND(s);
        if (utf8_) return utf8_string(s, n, kind);
        // The writer holds every character of the text (widest()).
        if (PyUnicode_MAX_CHAR_VALUE(s) > w_.maxchar()) return 0;
        // The quotes and every character once; escapes reserve their extra.
        if (n > PY_SSIZE_T_MAX / 4 - 2) {
            PyErr_NoMemory();
            return -1;
        }
        if (!w_.reserve(n + 2)) return -1;
        const void* data = PyUnicode_DATA(s);
        switch (kind * 4 + w_.kind()) {
            case 1 * 4 + 1: return escape(static_cast<const Py_UCS1*>(data), n, static_cast<Py_UCS1*>(nullptr));
            case 1 * 4 + 2: return escape(static_cast<const Py_UCS1*>(data), n, static_cast<Py_UCS2*>(nullptr));
            case 1 * 4 + 4: return escape(static_cast<const Py_UCS1*>(data), n, static_cast<Py_UCS4*>(nullptr));
            case 2 * 4 + 2: return escape(static_cast<const Py_UCS2*>(data), n, static_cast<Py_UCS2*>(nullptr));
            case 2 * 4 + 4: return escape(static_cast<const Py_UCS2*>(data), n, static_cast<Py_UCS4*>(nullptr));
            default: return escape(static_cast<const Py_UCS4*>(data), n, static_cast<Py_UCS4*>(nullptr));
        }
    }

    // The string in UTF-8 (the writer keeps 1-byte units throughout). ASCII
    // is its own encoding; a lone surrogate has none, and goes back to the
    // str text, whose encoding raises the codec's error.
    int utf8_string(PyObject* s, Py_ssize_t n, int kind) {
        if (n > (PY_SSIZE_T_MAX / 4 - 2) / 4) {
            PyErr_NoMemory();
            return -1;
        }
        const void* data = PyUnicode_DATA(s);
        if (PyUnicode_IS_ASCII(s)) {
            if (!w_.reserve(n + 2)) return -1;
            return escape(static_cast<const Py_UCS1*>(data), n, static_cast<Py_UCS1*>(nullptr));
        }
        if (!w_.reserve(4 * n + 2)) return -1;
        switch (kind) {
            case PyUnicode_1BYTE_KIND: return utf8_escape(static_cast<const Py_UCS1*>(data), n);
            case PyUnicode_2BYTE_KIND: return utf8_escape(static_cast<const Py_UCS2*>(data), n);
            default: return utf8_escape(static_cast<const Py_UCS4*>(data), n);
        }
    }

    // As escape(), into UTF-8; room for 4 bytes a character is reserved.
    template <class S>
    int utf8_escape(const S* s, Py_ssize_t n) {
        auto* d = static_cast<unsigned char*>(w_.at_end());
        *d++ = '"';
        for (Py_ssize_t i = 0; i < n; ++i) {
            const auto c = static_cast<Py_UCS4>(s[i]);
            if (c < 0x80) {
                if (!needs_escape(c)) {
                    *d++ = static_cast<unsigned char>(c);
                    continue;
                }
                // An escape may need 6: make room for it and the rest.
                Py_ssize_t done = reinterpret_cast<char*>(d) - static_cast<char*>(w_.base());
                w_.set_length(done);
                if (!w_.reserve(6 + 4 * (n - i - 1) + 1)) return -1;
                d = reinterpret_cast<unsigned char*>(static_cast<char*>(w_.base()) + done);
                d = write_escape(d, c);
            } else if (c < 0x800) {
                *d++ = static_cast<unsigned char>(0xc0 | (c >> 6));
                *d++ = static_cast<unsigned char>(0x80 | (c & 0x3f));
            } else if (c >= 0xd800 && c <= 0xdfff) {
                return 0;
            } else if (c < 0x10000) {
                *d++ = static_cast<unsigned char>(0xe0 | (c >> 12));
                *d++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3f));
                *d++ = static_cast<unsigned char>(0x80 | (c & 0x3f));
            } else {
                *d++ = static_cast<unsigned char>(0xf0 | (c >> 18));
                *d++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3f));
                *d++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3f));
                *d++ = static_cast<unsigned char>(0x80 | (c & 0x3f));
            }
        }
        *d++ = '"';
        w_.set_length(reinterpret_cast<char*>(d) - static_cast<char*>(w_.base()));
        return 1;
    }

    // Copies s[0:n] between quotes with the encoder's escapes: the quote,
    // the backslash and the controls below U+0020, nothing else (U+007F,
    // U+2028 and lone surrogates stay as they are).
    template <class S, class D>
    int escape(const S* s, Py_ssize_t n, D*) {
        D* d = static_cast<D*>(w_.at_end());
        *d++ = '"';
        Py_ssize_t i = 0;
        for (;;) {
            Py_ssize_t j = i;
            while (j < n && !needs_escape(s[j])) ++j;
            if constexpr (sizeof(S) == sizeof(D)) {
                std::memcpy(d, s + i, static_cast<size_t>(j - i) * sizeof(D));
                d += j - i;
            } else {
                for (Py_ssize_t k = i; k < j; ++k) *d++ = s[k];
            }
            if (j == n) break;
            // Worst case from here: this escape, the rest as is, the quote.
            Py_ssize_t done = d - static_cast<D*>(w_.base());
            w_.set_length(done);
            if (!w_.reserve(6 + (n - j - 1) + 1)) return -1;
            d = static_cast<D*>(w_.base()) + done;
            d = write_escape(d, static_cast<unsigned>(s[j]));
            i = j + 1;
        }
        *d++ = '"';
        w_.set_length(d - static_cast<D*>(w_.base()));
        return 1;
    }
};

// Raises `max` to the widest character the text of `o` will hold. False
// where the encoder would give the value up (a type it leaves to Python,
// nesting past `depth` levels), and the walk stops there.
bool widest(PyObject* o, int depth, Py_UCS4& max) {
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyUnicode_Type) {
        max = std::max(max, PyUnicode_MAX_CHAR_VALUE(o));
        return true;
    }
    const bool dict = t == &PyDict_Type;
    if (!dict && t != &PyList_Type && t != &PyTuple_Type)
        return t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type || o == Py_None;
    if (depth <= 0) return (dict ? PyDict_GET_SIZE(o) : PySequence_Fast_GET_SIZE(o)) == 0;
    RecursionGuard guard(" while writing a book text");
    if (!guard.ok()) {
        PyErr_Clear();
        return false;
    }
    if (!dict) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(o); ++i)
            if (!widest(PySequence_Fast_GET_ITEM(o, i), depth - 1, max)) return false;
        return true;
    }
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(o, &pos, &key, &value)) {
        PyTypeObject* k = Py_TYPE(key);
        if (k != &PyUnicode_Type && k != &PyLong_Type && k != &PyFloat_Type && k != &PyBool_Type && key != Py_None)
            return false;
        if (!widest(key, 0, max) || !widest(value, depth - 1, max)) return false;
    }
    return true;
}

// Runs `write` on an encoder for the text (its widest character from
// `measure`), and hands over the result: 1, 0 or -1 as native_book_text.
template <class Measure, class Write>
int encode(bool utf8, Py_ssize_t estimate, Measure&& measure, Write&& write, PyObject** out) {
    // The Python encoder needs one frame per level: the depth budget says
    // how deep the native text may go in its place.
    const int depth = stand_in_levels(kTextDepthCap);
    if (depth < 0) return 0;
    Py_UCS4 max = 0x7f;
    if (!utf8 && !measure(depth, max)) return 0;
    Encoder enc(depth, utf8, st().json.short_repr, max);
    if (!enc.start(estimate)) return -1;
    int r = write(enc);
    if (r <= 0) return r;
    *out = enc.finish();
    return *out ? 1 : -1;
}

}  // namespace

namespace {
// The containers above the one being walked, on the machine stack.
struct Path {
    PyObject* container;
    const Path* up;
    bool holds(PyObject* o) const {
        for (const Path* p = this; p; p = p->up)
            if (p->container == o) return true;
        return false;
    }
};

// The containers the host's encoder would descend into below `o`, walked
// under our guard. A value that contains itself is left to the encoder's
// own circular-reference error.
int bound_depth(PyObject* o, const Path* up) {
    const bool is_dict = PyDict_Check(o);
    if (!is_dict && !PyList_Check(o) && !PyTuple_Check(o)) return 0;
    if (up && up->holds(o)) return 0;
    RecursionGuard guard(" while writing a book text");
    if (!guard.ok()) return -1;
    const Path here{o, up};
    // No user code runs here: the sizes cannot change under the walk.
    if (is_dict) {
        Py_ssize_t pos = 0;
        PyObject *key, *item;
        while (PyDict_Next(o, &pos, &key, &item))
            if (bound_depth(item, &here) < 0) return -1;
    } else {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        for (Py_ssize_t i = 0; i < n; ++i)
            if (bound_depth(PySequence_Fast_GET_ITEM(o, i), &here) < 0) return -1;
    }
    return 0;
}
}  // namespace

int check_encoder_depth(PyObject* forms) { return bound_depth(forms, nullptr); }

int native_book_text(PyObject* forms, PyObject** out, bool utf8) {
    return encode(
        utf8, 4096, [&](int depth, Py_UCS4& max) { return widest(forms, depth, max); },
        [&](Encoder& enc) { return enc.top(forms); }, out);
}

int native_book_text(const FormParts* parts, Py_ssize_t n, PyObject** out, bool utf8) {
    // About the size of a small parameter's form; a larger text grows once
    // or twice, a smaller one gives the rest back at the end.
    const Py_ssize_t estimate = 64 + 256 * std::min(n, PY_SSIZE_T_MAX / 1024);
    auto measure = [&](int depth, Py_UCS4& max) {
        if (depth < 2) return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!widest(parts[i].name, 0, max) || !widest(parts[i].description, depth - 2, max) ||
                !widest(parts[i].attributes, depth - 2, max))
                return false;
        }
        return true;
    };
    return encode(utf8, estimate, measure, [&](Encoder& enc) { return enc.forms(parts, n); }, out);
}

}  // namespace r7u
