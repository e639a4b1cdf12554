// Text at the Windows boundary. The wide Windows functions take and give
// NUL-terminated UTF-16. Where the host's unicode is UTF-16 as well (the
// narrow build that Windows ships), buffers cross unchanged; where it is
// UCS-4, text is converted here, surrogate pairs included, on the stack for
// names that fit the MAX_PATH-sized buffers.
// It lives beside the module, whose boundary it is; winsim includes it from
// here so that its texts cross exactly as the module's do.
#ifndef WINDOWS_WIDE_TEXT_H
#define WINDOWS_WIDE_TEXT_H

#include <Python.h>

#include <cstddef>
#include <cstring>

#include "platform.h"

// Fixed name buffers of the Windows calls, in UTF-16 code units.
constexpr DWORD kNameBufferLength = MAX_PATH + 1;

// Number of code units before the first NUL, at most `capacity`.
inline size_t WideLength(const WCHAR *buffer, size_t capacity) {
    size_t length = 0;
    while (length < capacity && buffer[length] != 0)
        ++length;
    return length;
}

// The conversion for a host whose Py_UNICODE is UCS-4. Only instantiated on
// such a host; the specialisation below serves UTF-16 hosts, which must not
// compile this conversion in at all.
template <size_t UnicodeUnitSize>
struct HostText {
    static_assert(UnicodeUnitSize == 4 && UnicodeUnitSize == sizeof(Py_UNICODE),
                  "the conversion is for hosts whose Py_UNICODE is UCS-4");

    static bool IsHighSurrogate(uint32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
    static bool IsLowSurrogate(uint32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

    // NUL-terminated UTF-16 copy of a unicode object, in `inline_buffer` when
    // it fits, else in a block from the host's allocator.
    class Wide {
    public:
        Wide() = default;
        Wide(const Wide &) = delete;
        Wide &operator=(const Wide &) = delete;
        ~Wide() { PyMem_Free(heap_); }

        // False with MemoryError set when the copy cannot be allocated.
        bool Assign(PyObject *text) {
            const Py_UNICODE *source = PyUnicode_AS_UNICODE(text);
            const Py_ssize_t length = PyUnicode_GET_SIZE(text);
            size_t units = 1;  // the NUL
            for (Py_ssize_t i = 0; i < length; ++i)
                units += static_cast<uint32_t>(source[i]) > 0xFFFF ? 2 : 1;
            WCHAR *target = inline_;
            if (units > kNameBufferLength) {
                PyMem_Free(heap_);
                heap_ = static_cast<WCHAR *>(
                    units <= PY_SSIZE_T_MAX / sizeof(WCHAR) ? PyMem_Malloc(units * sizeof(WCHAR)) : nullptr);
                if (!heap_) {
                    PyErr_NoMemory();
                    return false;
                }
                target = heap_;
            }
            for (Py_ssize_t i = 0; i < length; ++i) {
                uint32_t code_point = static_cast<uint32_t>(source[i]);
                if (code_point <= 0xFFFF) {
                    *target++ = static_cast<WCHAR>(code_point);
                } else if (code_point <= 0x10FFFF) {
                    code_point -= 0x10000;
                    *target++ = static_cast<WCHAR>(0xD800 | (code_point >> 10));
                    *target++ = static_cast<WCHAR>(0xDC00 | (code_point & 0x3FF));
                } else {
                    // Not a Unicode code point; UTF-16 cannot carry it.
                    *target++ = static_cast<WCHAR>(0xFFFD);
                    *target++ = static_cast<WCHAR>(0xFFFD);
                }
            }
            *target = 0;
            data_ = heap_ ? heap_ : inline_;
            return true;
        }
        const WCHAR *get() const { return data_; }

    private:
        WCHAR inline_[kNameBufferLength];
        WCHAR *heap_ = nullptr;
        const WCHAR *data_ = nullptr;
    };

    // A new unicode object from `length` UTF-16 code units. A surrogate
    // without its partner is kept as it is, as a UTF-16 host would keep it.
    static PyObject *ToUnicode(const WCHAR *text, size_t length) {
        size_t code_points = 0;
        for (size_t i = 0; i < length; ++i, ++code_points) {
            if (IsHighSurrogate(text[i]) && i + 1 < length && IsLowSurrogate(text[i + 1])) ++i;
        }
        PyObject *result = PyUnicode_FromUnicode(nullptr, static_cast<Py_ssize_t>(code_points));
        if (!result) return nullptr;
        Py_UNICODE *target = PyUnicode_AS_UNICODE(result);
        for (size_t i = 0; i < length; ++i) {
            uint32_t unit = text[i];
            if (IsHighSurrogate(unit) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
                ++i;
            }
            *target++ = static_cast<Py_UNICODE>(unit);
        }
        return result;
    }
};

// A UTF-16 host: the unicode object's own buffer is what Windows takes.
template <>
struct HostText<2> {
    class Wide {
    public:
        bool Assign(PyObject *text) {
            data_ = reinterpret_cast<const WCHAR *>(PyUnicode_AS_UNICODE(text));
            return true;
        }
        const WCHAR *get() const { return data_; }

    private:
        const WCHAR *data_ = nullptr;
    };

    static PyObject *ToUnicode(const WCHAR *text, size_t length) {
        return PyUnicode_FromUnicode(reinterpret_cast<const Py_UNICODE *>(text), static_cast<Py_ssize_t>(length));
    }
};

// NUL-terminated UTF-16 view of an exact unicode object, valid while the
// object lives.
using WideText = HostText<sizeof(Py_UNICODE)>::Wide;

inline PyObject *UnicodeFromWide(const WCHAR *text, size_t length) {
    return HostText<sizeof(Py_UNICODE)>::ToUnicode(text, length);
}

// A new unicode object of a fixed name buffer's content up to its first NUL.
inline PyObject *UnicodeFromNameBuffer(const WCHAR (&buffer)[kNameBufferLength]) {
    return UnicodeFromWide(buffer, WideLength(buffer, kNameBufferLength));
}

#endif  // WINDOWS_WIDE_TEXT_H
