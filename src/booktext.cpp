// Native book text: the text json.dumps(forms, indent=4, ensure_ascii=False)
// gives, written in one pass into one buffer made at about its size. The
// standard encoder runs in pure Python whenever indent is set, which made it
// most of the cost of str(book) and of every save. Whatever this writer
// cannot vouch for goes back to the Python encoder, so results and errors
// stay exactly its own.
#include "booktext.hpp"

#include "inline_layout.hpp"
#include "textrun.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

namespace r7u {
namespace {

// ---------------------------------------------------------------------------
// The buffer is the result itself: a str of the kind that holds the widest
// character of the text (known before writing starts), or a bytes object for
// UTF-8, made at about its final size, grown in place when that falls short
// and cut to its length at the end. Past its capacity it keeps kPad more
// units, which the vector stores of the writer may touch.
// ---------------------------------------------------------------------------
using textrun::kPad;

// Most units a text may have: every size below stays clear of overflow.
constexpr Py_ssize_t kMaxUnits = PY_SSIZE_T_MAX / 8;
// Below this many bytes the buffer doubles when it grows; above, it grows by
// an eighth or to the size the forms written so far project, so that the
// memory it takes stays near the text.
constexpr Py_ssize_t kSmallBlock = Py_ssize_t{256} << 10;

class Buffer {
public:
    // bytes: a bytes object of UTF-8; else a str whose kind holds maxchar.
    Buffer(bool bytes, Py_UCS4 maxchar) : bytes_(bytes), maxchar_(bytes ? 0x7f : maxchar) {}
    ~Buffer() { Py_XDECREF(obj_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    // Makes the result with room for `cap` units; false with MemoryError set.
    bool start(Py_ssize_t cap) {
        cap = std::clamp(cap, Py_ssize_t{64}, kMaxUnits);
        obj_ = bytes_ ? PyBytes_FromStringAndSize(nullptr, cap + kPad) : PyUnicode_New(cap + kPad, maxchar_);
        if (!obj_) return false;
        unit_ = bytes_ ? 1 : PyUnicode_KIND(obj_);
        if (!bytes_) maxchar_ = PyUnicode_MAX_CHAR_VALUE(obj_);
        cap_ = cap;
        point();
        return true;
    }

    int unit() const { return unit_; }
    Py_UCS4 maxchar() const { return maxchar_; }
    template <class D>
    D* end() {
        return reinterpret_cast<D*>(data_) + len_;
    }
    template <class D>
    void set_end(D* d) {
        len_ = d - reinterpret_cast<D*>(data_);
    }

    // Room for `n` more units (and kPad beyond); false with MemoryError set.
    bool reserve(Py_ssize_t n) { return cap_ - len_ >= n || grow(n); }

    // How many of the `total` forms are written: the measure of growth.
    void progress(Py_ssize_t done, Py_ssize_t total) {
        done_ = done;
        total_ = total;
    }

    // The result, cut to the text written; null with MemoryError set.
    PyObject* finish() {
        if ((bytes_ ? _PyBytes_Resize(&obj_, len_) : PyUnicode_Resize(&obj_, len_)) < 0) return nullptr;
        return std::exchange(obj_, nullptr);
    }

private:
    void point() { data_ = bytes_ ? PyBytes_AS_STRING(obj_) : static_cast<char*>(PyUnicode_DATA(obj_)); }

    R7U_NOINLINE bool grow(Py_ssize_t n) {
        if (n > kMaxUnits - len_) {
            PyErr_NoMemory();
            return false;
        }
        Py_ssize_t target = cap_ + (cap_ * unit_ < kSmallBlock ? cap_ : cap_ / 8);
        if (done_ > 0 && total_ > done_) {
            const double projected = static_cast<double>(len_) / static_cast<double>(done_) *
                                     static_cast<double>(total_) * (1.0 + 1.0 / 32);
            target = std::max(static_cast<Py_ssize_t>(std::min(projected, 2.0 * static_cast<double>(cap_))),
                              cap_ + cap_ / 32);
        }
        target = std::clamp(target, len_ + n, kMaxUnits);
        // A failed resize leaves a str as it was and frees a bytes object.
        if ((bytes_ ? _PyBytes_Resize(&obj_, target + kPad) : PyUnicode_Resize(&obj_, target + kPad)) < 0)
            return false;
        cap_ = target;
        point();
        return true;
    }

    PyObject* obj_ = nullptr;  // the result being written; owned
    char* data_ = nullptr;
    Py_ssize_t len_ = 0;  // units written
    Py_ssize_t cap_ = 0;  // units that fit, kPad more beyond
    Py_ssize_t done_ = 0, total_ = 0;
    int unit_ = 1;
    bool bytes_;
    Py_UCS4 maxchar_;
};

// 0 for ASCII, 1 for Latin-1, 2 for the BMP, 3 beyond: the kinds of str.
inline int width_class(Py_UCS4 c) { return (c >= 0x80) + (c >= 0x100) + (c >= 0x10000); }

inline int decimal_digits(std::uint64_t v) {
    int n = 1;
    for (; v >= 10; v /= 10) ++n;
    return n;
}

// An integral float below 1e16 is repr'd as its integer and ".0": the
// digits without the shortest-digit search. Its length, or 0 for any other.
inline int integral_float(double x, char* out) {
    const double a = std::fabs(x);
    if (!(a < 1e16)) return 0;
    const auto u = static_cast<std::int64_t>(a);
    if (static_cast<double>(u) != a) return 0;
    char* p = out;
    if (std::signbit(x)) *p++ = '-';
    p = std::to_chars(p, p + 20, u).ptr;
    *p++ = '.';
    *p++ = '0';
    return static_cast<int>(p - out);
}

// A float of at most four decimals between 1e-4 and about 1e11 (12.5,
// 0.25, 3.1416) is repr'd as those decimals: m / 10^k for the first k whose
// m = round(x * 10^k) gives back x exactly (IEEE division rounds exactly).
// Below 2^50, steps of 10^-k are over four units in the last place of x
// apart, so no other string of k decimals gives x back: these are the
// shortest digits, nearest to x. Its length, or 0 for any other float.
inline int short_decimal_float(double x, char* out) {
    static constexpr double kPow10[] = {1, 10, 100, 1000, 10000};
    const double a = std::fabs(x);
    if (!(a >= 1e-4 && a < 1e11)) return 0;
    for (int k = 1; k <= 4; ++k) {
        const double y = a * kPow10[k];
        const auto m = static_cast<std::int64_t>(y + 0.5);
        if (m >= (std::int64_t{1} << 50)) return 0;
        if (static_cast<double>(m) / kPow10[k] != a) continue;
        char digits[24];
        const int n = static_cast<int>(std::to_chars(digits, digits + sizeof digits, m).ptr - digits);
        char* p = out;
        if (std::signbit(x)) *p++ = '-';
        if (n <= k) {
            *p++ = '0';
            *p++ = '.';
            p = std::fill_n(p, k - n, '0');
            p = std::copy_n(digits, n, p);
        } else {
            p = std::copy_n(digits, n - k, p);
            *p++ = '.';
            p = std::copy_n(digits + n - k, k, p);
        }
        return static_cast<int>(p - out);
    }
    return 0;
}

// The literal parts of a parameter's form at its place in the book text.
constexpr char kFormName[] = "{\n        \"name\": ";
constexpr char kFormDescription[] = ",\n        \"description\": ";
constexpr char kFormAttributes[] = ",\n        \"attributes\": ";
constexpr char kFormEnd[] = "\n    }";
constexpr Py_ssize_t kFormLiterals =
    sizeof kFormName + sizeof kFormDescription + sizeof kFormAttributes + sizeof kFormEnd - 4;

// Whether the walk may enter one more container: within the levels the
// Python encoder could take over from, and within the thread's stack.
inline bool may_descend(int levels_left) {
    return levels_left > 0 && !compat::stack_nearly_exhausted(compat::guard_state);
}

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


// ---------------------------------------------------------------------------
// The walk, once per unit of the text: D is the unit, Utf8 whether strings
// are encoded to UTF-8 (one-byte units) or copied as code points. Each step
// returns 1 when written, 0 when the value must go to the Python encoder,
// -1 with an exception set. The callers' lists and dicts are walked in
// four places only, sequence() and dict() here and in Measure; no code of
// theirs runs meanwhile (every value written is of an exact built-in type),
// so the items cannot change under the walk.
// ---------------------------------------------------------------------------
template <class D, bool Utf8>
class Encoder {
public:
    // levels: most container levels written natively (see Level).
    Encoder(Buffer& w, int levels, bool short_repr) : w_(w), levels_left_(levels), short_repr_(short_repr) {}

    int top(PyObject* o) { return value(o, 0); }

    // The list of the parameters' forms, each as to_dict would make it.
    int forms(const FormParts* parts, Py_ssize_t n) {
        if (n == 0) return token("[]") ? 1 : -1;
        Level guard(*this);
        if (!guard.ok()) return 0;
        if (!token("[")) return -1;
        for (Py_ssize_t i = 0; i < n; ++i) {
            w_.progress(i, n);
            if (!newline(1, i != 0)) return -1;
            int r = form(parts[i]);
            if (r <= 0) return r;
        }
        if (!newline(0, false)) return -1;
        return token("]") ? 1 : -1;
    }

    // None written as a list item or dict value (not inside a tuple).
    bool none_seen() const { return none_seen_; }
    // The widest character written (str texts only).
    Py_UCS4 widest() const { return widest_; }

private:
    Buffer& w_;
    int levels_left_;
    int tuple_depth_ = 0;
    bool none_seen_ = false;
    bool short_repr_;  // float.__repr__ gives the shortest digits
    Py_UCS4 widest_ = 0;

    // The one guard of each container written: false when the value must go
    // to the Python encoder instead. That encoder needs one frame per level,
    // so past the levels the recursion budget allows it decides (and may
    // raise RecursionError); a cycle ends there as well and gets its
    // "Circular reference detected".
    class Level {
    public:
        explicit Level(Encoder& e) : e_(e), ok_(may_descend(e.levels_left_)) { e_.levels_left_ -= ok_; }
        ~Level() { e_.levels_left_ += ok_; }
        Level(const Level&) = delete;
        Level& operator=(const Level&) = delete;
        bool ok() const { return ok_; }

    private:
        Encoder& e_;
        bool ok_;
    };

    template <std::size_t N>
    static D* put(D* d, const char (&s)[N]) {
        for (std::size_t i = 0; i + 1 < N; ++i) d[i] = static_cast<D>(s[i]);
        return d + (N - 1);
    }
    template <std::size_t N>
    bool token(const char (&s)[N]) {
        if (!w_.reserve(N - 1)) return false;
        w_.set_end(put(w_.template end<D>(), s));
        return true;
    }
    int ascii(const char* s, Py_ssize_t n) {
        if (!w_.reserve(n)) return -1;
        D* d = w_.template end<D>();
        for (Py_ssize_t i = 0; i < n; ++i) d[i] = static_cast<D>(s[i]);
        w_.set_end(d + n);
        return 1;
    }
    // A line end and the indentation of `level`, after an optional comma.
    bool newline(int level, bool comma) {
        const Py_ssize_t indent = 4 * static_cast<Py_ssize_t>(level);
        if (!w_.reserve(indent + 2)) return false;
        D* d = w_.template end<D>();
        *d = ',';
        d += comma;
        *d++ = '\n';
        w_.set_end(textrun::spaces(d, indent));
        return true;
    }

    int form(const FormParts& p) {
        Level guard(*this);
        if (!guard.ok()) return 0;
        if (!token(kFormName)) return -1;
        int r = string(p.name);
        if (r <= 0) return r;
        if (!token(kFormDescription)) return -1;
        if ((r = value(p.description, 2)) <= 0) return r;
        if (!token(kFormAttributes)) return -1;
        if ((r = value(p.attributes, 2)) <= 0) return r;
        return token(kFormEnd) ? 1 : -1;
    }

    int value(PyObject* o, int level) {
        PyTypeObject* t = Py_TYPE(o);
        if (t == &PyUnicode_Type) return string(o);
        if (t == &PyLong_Type) return integer(o);
        if (t == &PyFloat_Type) return real(PyFloat_AS_DOUBLE(o));
        if (t == &PyDict_Type) return dict(o, level);
        if (t == &PyList_Type) return sequence(o, level, false);
        if (t == &PyTuple_Type) return sequence(o, level, true);
        if (o == Py_True) return token("true") ? 1 : -1;
        if (o == Py_False) return token("false") ? 1 : -1;
        if (o == Py_None) {
            none_seen_ |= tuple_depth_ == 0;
            return token("null") ? 1 : -1;
        }
        return 0;
    }

    // A walk of a caller's list or tuple (one of the four).
    int sequence(PyObject* o, int level, bool tuple) {
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        if (n == 0) return token("[]") ? 1 : -1;
        Level guard(*this);
        if (!guard.ok()) return 0;
        if (!token("[")) return -1;
        PyObject** items = PySequence_Fast_ITEMS(o);
        tuple_depth_ += tuple;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (level == 0) w_.progress(i, n);
            if (!newline(level + 1, i != 0)) return -1;
            int r = value(items[i], level + 1);
            if (r <= 0) return r;
        }
        tuple_depth_ -= tuple;
        if (!newline(level, false)) return -1;
        return token("]") ? 1 : -1;
    }

    // A walk of a caller's dict (one of the four).
    int dict(PyObject* o, int level) {
        if (PyDict_GET_SIZE(o) == 0) return token("{}") ? 1 : -1;
        Level guard(*this);
        if (!guard.ok()) return 0;
        if (!token("{")) return -1;
        compat::DictItems items(o);
        PyObject *key, *item;
        bool first = true;
        while (items.next(key, item)) {
            if (!newline(level + 1, !first)) return -1;
            first = false;
            int r = dict_key(key);
            if (r <= 0) return r;
            if (!token(": ")) return -1;
            if ((r = value(item, level + 1)) <= 0) return r;
        }
        if (!newline(level, false)) return -1;
        return token("}") ? 1 : -1;
    }

    // Keys as the encoder turns them into strings; any other key type is its
    // TypeError, left to it.
    int dict_key(PyObject* key) {
        PyTypeObject* t = Py_TYPE(key);
        if (t == &PyUnicode_Type) return string(key);
        if (key == Py_True) return token("\"true\"") ? 1 : -1;
        if (key == Py_False) return token("\"false\"") ? 1 : -1;
        if (key == Py_None) return token("\"null\"") ? 1 : -1;
        int r;
        if (t == &PyLong_Type) r = token("\"") ? integer(key) : -1;
        else if (t == &PyFloat_Type) r = token("\"") ? real(PyFloat_AS_DOUBLE(key)) : -1;
        else return 0;
        return r <= 0 ? r : token("\"") ? 1 : -1;
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
        char buf[32];
        if (int n = integral_float(x, buf)) return ascii(buf, n);
        if (std::isnan(x)) return ascii("NaN", 3);
        if (std::isinf(x)) return x > 0 ? ascii("Infinity", 8) : ascii("-Infinity", 9);
        if (short_repr_) {
            const int n = short_decimal_float(x, buf);
            return ascii(buf, n ? n : float_repr(x, buf));
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
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const void* data = PyUnicode_DATA(s);
        if (n > kMaxUnits / 4) {
            PyErr_NoMemory();
            return -1;
        }
        if constexpr (Utf8) {
            // ASCII is its own encoding.
            if (PyUnicode_IS_ASCII(s)) return quoted(static_cast<const Py_UCS1*>(data), n);
            switch (PyUnicode_KIND(s)) {
                case PyUnicode_1BYTE_KIND: return utf8(static_cast<const Py_UCS1*>(data), n);
                case PyUnicode_2BYTE_KIND: return utf8(static_cast<const Py_UCS2*>(data), n);
                default: return utf8(static_cast<const Py_UCS4*>(data), n);
            }
        } else {
            // The buffer's kind holds every character of the text (Measure).
            const Py_UCS4 max = PyUnicode_MAX_CHAR_VALUE(s);
            if (max > w_.maxchar()) return 0;
            widest_ = std::max(widest_, max);
            switch (PyUnicode_KIND(s)) {
                case PyUnicode_1BYTE_KIND: return quoted(static_cast<const Py_UCS1*>(data), n);
                case PyUnicode_2BYTE_KIND:
                    if constexpr (sizeof(D) >= 2) return quoted(static_cast<const Py_UCS2*>(data), n);
                    return 0;
                default:
                    if constexpr (sizeof(D) == 4) return quoted(static_cast<const Py_UCS4*>(data), n);
                    return 0;
            }
        }
    }

    // s[0:n] between quotes with the encoder's escapes: the quote, the
    // backslash and the controls below U+0020, nothing else (U+007F, U+2028
    // and lone surrogates stay as they are). Each unit as it is.
    template <class S>
    int quoted(const S* s, Py_ssize_t n) {
        if (!w_.reserve(n + 2)) return -1;
        D* d = w_.template end<D>();
        *d++ = '"';
        Py_ssize_t i = 0;
        for (;;) {
            i = textrun::plain_run<false>(s, i, n, d);
            if (i == n) break;
            // Worst case from here: this escape, the rest as is, the quote.
            w_.set_end(d);
            if (!w_.reserve(6 + (n - i - 1) + 1)) return -1;
            d = textrun::write_escape(w_.template end<D>(), static_cast<unsigned>(s[i]));
            ++i;
        }
        *d++ = '"';
        w_.set_end(d);
        return 1;
    }

    // As quoted(), into UTF-8. Room is taken a block at a time, at the
    // widest a character of S can be, so that a long string of few wide
    // characters does not grow the buffer to several times its size.
    template <class S>
    int utf8(const S* s, Py_ssize_t n) {
        constexpr Py_ssize_t wide = sizeof(S) == 1 ? 2 : sizeof(S) == 2 ? 3 : 4;
        constexpr Py_ssize_t block = 4096;
        if (!w_.reserve(std::min(n, block) * wide + 2)) return -1;
        unsigned char* d = w_.template end<unsigned char>();
        *d++ = '"';
        Py_ssize_t i = 0;
        while (i < n) {
            const Py_ssize_t stop = std::min(n, i + block);
            while (i < stop) {
                i = textrun::plain_run<true>(s, i, stop, d);
                if (i == stop) break;
                if (s[i] >= 0x80) {
                    // A lone surrogate has no UTF-8: the str text takes it,
                    // whose encoding raises the codec's error.
                    if (!textrun::utf8_wide_run(s, i, stop, d)) return 0;
                    continue;
                }
                w_.set_end(d);
                if (!w_.reserve(6 + (stop - i - 1) * wide + 1)) return -1;
                d = textrun::write_escape(w_.template end<unsigned char>(), static_cast<unsigned>(s[i]));
                ++i;
            }
            if (i < n) {
                w_.set_end(d);
                if (!w_.reserve(std::min(n - i, block) * wide + 1)) return -1;
                d = w_.template end<unsigned char>();
            }
        }
        *d++ = '"';
        w_.set_end(d);
        return 1;
    }
};

// ---------------------------------------------------------------------------
// The first pass of a str text: the widest character it will hold, which
// picks the kind of the str, and about how many characters it will have, so
// that the str is made once at about its size (escapes and the digits of
// fractional floats are guessed; growth covers the rest). False where the
// encoder would give the value up (a type it leaves to Python, nesting past
// the levels), and the walk stops there.
// ---------------------------------------------------------------------------
class Measure {
public:
    explicit Measure(int levels) : levels_left_(levels) {}

    Py_UCS4 widest = 0x7f;
    Py_ssize_t units = 0;

    bool value(PyObject* o, int level) {
        PyTypeObject* t = Py_TYPE(o);
        if (t == &PyUnicode_Type) return string(o);
        if (t == &PyLong_Type) return integer(o);
        if (t == &PyFloat_Type) return real(PyFloat_AS_DOUBLE(o));
        const bool dict = t == &PyDict_Type;
        if (dict || t == &PyList_Type || t == &PyTuple_Type) {
            const Py_ssize_t n = dict ? PyDict_GET_SIZE(o) : PySequence_Fast_GET_SIZE(o);
            if (n == 0) {
                units += 2;
                return true;
            }
            if (!may_descend(levels_left_)) return false;
            --levels_left_;
            // "[", the items each on a line of their own after a comma but the
            // first, the closing line; ": " after each key.
            units += 3 + 4 * level + n * (2 + 4 * (level + 1) + (dict ? 2 : 0)) - 1;
            bool ok = dict ? items(o, level) : sequence(o, level);
            ++levels_left_;
            return ok;
        }
        if (o != Py_True && o != Py_False && o != Py_None) return false;
        units += o == Py_False ? 5 : 4;
        return true;
    }

    bool forms(const FormParts* parts, Py_ssize_t n) {
        if (levels_left_ < 2) return false;
        units += n == 0 ? 2 : 3 + n * (2 + 4 + kFormLiterals) - 1;
        levels_left_ -= 2;
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!string(parts[i].name) || !value(parts[i].description, 2) || !value(parts[i].attributes, 2))
                return false;
        }
        return true;
    }

private:
    int levels_left_;

    bool string(PyObject* s) {
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(s));
        units += PyUnicode_GET_LENGTH(s) + 2;
        return true;
    }
    bool integer(PyObject* o) {
        auto* v = reinterpret_cast<PyLongObject*>(o);
        if (!PyUnstable_Long_IsCompact(v)) {
            units += 24;
            return true;
        }
        const Py_ssize_t x = PyUnstable_Long_CompactValue(v);
        units += (x < 0) + decimal_digits(x < 0 ? 0 - static_cast<std::uint64_t>(x) : static_cast<std::uint64_t>(x));
        return true;
    }
    bool real(double x) {
        char buf[32];
        const int n = integral_float(x, buf);
        units += n ? n : std::isfinite(x) ? 8 : 9;
        return true;
    }
    // A walk of a caller's list or tuple (one of the four).
    bool sequence(PyObject* o, int level) {
        PyObject** items = PySequence_Fast_ITEMS(o);
        for (Py_ssize_t i = 0, n = PySequence_Fast_GET_SIZE(o); i < n; ++i)
            if (!value(items[i], level + 1)) return false;
        return true;
    }
    // A walk of a caller's dict (one of the four).
    bool items(PyObject* o, int level) {
        compat::DictItems walk(o);
        PyObject *key, *item;
        while (walk.next(key, item)) {
            PyTypeObject* k = Py_TYPE(key);
            if (k == &PyUnicode_Type) string(key);
            else if (k == &PyLong_Type) integer(key), units += 2;
            else if (k == &PyFloat_Type) real(PyFloat_AS_DOUBLE(key)), units += 2;
            else if (k == &PyBool_Type || key == Py_None) units += 7;
            else return false;
            if (!value(item, level + 1)) return false;
        }
        return true;
    }
};

// Writes the text with `walk` (called with the encoder of the text's unit)
// into a buffer of `estimate` units, and hands over the result: 1, 0 or -1
// as native_book_text. `widest` is the widest character of a str text.
template <class Walk>
int encode(bool utf8, Py_ssize_t estimate, Py_UCS4 widest, int depth, Walk&& walk, PyObject** out,
           bool* none_seen) {
    Buffer w(utf8, widest);
    if (!w.start(estimate)) return -1;
    auto run = [&](auto&& enc) {
        int r = walk(enc);
        if (r <= 0) return r;
        // A str whose widest character is below its kind would not be a
        // proper str: only if what was measured changed meanwhile.
        if (!utf8 && width_class(enc.widest()) != width_class(widest)) return 0;
        if (none_seen) *none_seen = enc.none_seen();
        *out = w.finish();
        return *out ? 1 : -1;
    };
    const bool short_repr = st().json.short_repr;
    if (utf8) return run(Encoder<unsigned char, true>(w, depth, short_repr));
    switch (w.unit()) {
        case 1: return run(Encoder<Py_UCS1, false>(w, depth, short_repr));
        case 2: return run(Encoder<Py_UCS2, false>(w, depth, short_repr));
        default: return run(Encoder<Py_UCS4, false>(w, depth, short_repr));
    }
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
    // The Python encoder needs one frame per level: the depth budget says
    // how deep the native text may go in its place.
    const int depth = stand_in_levels(kTextDepthCap);
    if (depth < 0) return 0;
    Measure m(depth);
    if (!utf8 && !m.value(forms, 0)) return 0;
    return encode(utf8, utf8 ? 4096 : m.units, m.widest, depth, [&](auto& enc) { return enc.top(forms); }, out,
                  nullptr);
}

int native_book_text(const FormParts* parts, Py_ssize_t n, PyObject** out, bool utf8, bool* none_seen) {
    const int depth = stand_in_levels(kTextDepthCap);
    if (depth < 0) return 0;
    // A str's kind must be known before it is written: a first pass finds
    // it, and the text's size with it. UTF-8 starts at about the size of a
    // small parameter's form a parameter, and once past the small blocks
    // grows to the size the forms written so far project.
    Measure m(depth);
    if (!utf8 && !m.forms(parts, n)) return 0;
    const Py_ssize_t estimate = utf8 ? 64 + 256 * std::min(n, Py_ssize_t{4096}) : m.units;
    return encode(utf8, estimate, m.widest, depth, [&](auto& enc) { return enc.forms(parts, n); }, out, none_seen);
}

}  // namespace r7u
