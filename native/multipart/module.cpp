// quenmark._multipart: the boundary search of the multipart parser.
//
// Finding the delimiter is the whole cost of parsing a large file part: the Python parser
// does nothing else per chunk. CPython's bytes.find (Horspool with a 64-bit bloom filter)
// advances about 30 bytes per step on a typical delimiter; comparing the delimiter's first
// and last bytes at 64 positions at once with AVX2 and verifying the rare candidates is about
// twice as fast. Inputs that produce many candidates (data built from pieces of the
// delimiter) hand the rest of the search to bytes.find, which is linear in the worst case,
// so the search never degrades to comparing the delimiter at every position.
#include <Python.h>

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QM_MULTIPART_AVX2 1
#else
#define QM_MULTIPART_AVX2 0
#endif

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/methods.hpp"
#include "common/ref.hpp"

namespace qm::multipart {
namespace {

constexpr Py_ssize_t kNotFound = -1;
constexpr Py_ssize_t kGiveUp = -2;

bool has_avx2 = false;

#if QM_MULTIPART_AVX2
// Returns the index of `needle` in `hay[start:n]`, kNotFound, or kGiveUp with `*resume` set
// to the position from which no occurrence has been excluded yet.
__attribute__((target("avx2"))) Py_ssize_t find_avx2(const uint8_t *hay, Py_ssize_t n,
                                                     Py_ssize_t start, const uint8_t *needle,
                                                     Py_ssize_t m, Py_ssize_t *resume) {
    const __m256i first = _mm256_set1_epi8(static_cast<char>(needle[0]));
    const __m256i last = _mm256_set1_epi8(static_cast<char>(needle[m - 1]));
    // One verification allowed per block scanned, plus a head start: beyond that the data is
    // hostile or degenerate and the linear-time search takes over.
    Py_ssize_t budget = 64;
    Py_ssize_t i = start;
    // 64 bytes per step: most steps end at the single test that no position matched.
    for (; i + m - 1 + 64 <= n; i += 64) {
        const __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(hay + i));
        const __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(hay + i + 32));
        const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(hay + i + m - 1));
        const __m256i b1 =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(hay + i + m - 1 + 32));
        const __m256i e0 =
            _mm256_and_si256(_mm256_cmpeq_epi8(a0, first), _mm256_cmpeq_epi8(b0, last));
        const __m256i e1 =
            _mm256_and_si256(_mm256_cmpeq_epi8(a1, first), _mm256_cmpeq_epi8(b1, last));
        budget += 2;
        const __m256i any = _mm256_or_si256(e0, e1);
        if (_mm256_testz_si256(any, any)) continue;
        uint64_t mask = static_cast<uint32_t>(_mm256_movemask_epi8(e0)) |
                        (static_cast<uint64_t>(static_cast<uint32_t>(_mm256_movemask_epi8(e1))) << 32);
        while (mask) {
            const int bit = __builtin_ctzll(mask);
            if (std::memcmp(hay + i + bit + 1, needle + 1, static_cast<size_t>(m - 2)) == 0)
                return i + bit;
            if (--budget < 0) {
                *resume = i + bit + 1;
                return kGiveUp;
            }
            mask &= mask - 1;
        }
    }
    // Fewer than 64 + m - 1 bytes remain: compare at each position where the first byte
    // matches (at most 64 candidates).
    for (; i + m <= n; ++i) {
        const void *hit = std::memchr(hay + i, needle[0], static_cast<size_t>(n - m - i + 1));
        if (!hit) break;
        i = static_cast<const uint8_t *>(hit) - hay;
        if (std::memcmp(hay + i, needle, static_cast<size_t>(m)) == 0) return i;
    }
    return kNotFound;
}
#endif

PyObject *bytes_find(PyObject *buffer, PyObject *needle, Py_ssize_t start) {
    Ref name = Ref::steal(PyUnicode_InternFromString("find"));
    if (!name) return nullptr;
    Ref position = Ref::steal(PyLong_FromSsize_t(start));
    if (!position) return nullptr;
    PyObject *args[] = {buffer, needle, position.get()};
    return PyObject_VectorcallMethod(name.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
}

// find_delimiter(buffer, delimiter, start) -> int: the same result as
// buffer.find(delimiter, start) for exact bytes and a start of 0 or more.
PyObject *find_delimiter(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    if (!check_nargs("find_delimiter", nargs, 3)) return nullptr;
    PyObject *buffer = args[0];
    PyObject *needle = args[1];
    if (!PyBytes_CheckExact(buffer)) return arg_type_error("buffer", "bytes", buffer);
    if (!PyBytes_CheckExact(needle)) return arg_type_error("delimiter", "bytes", needle);
    const Py_ssize_t start = PyLong_AsSsize_t(args[2]);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    const Py_ssize_t n = PyBytes_GET_SIZE(buffer);
    const Py_ssize_t m = PyBytes_GET_SIZE(needle);
#if QM_MULTIPART_AVX2
    if (has_avx2 && start >= 0 && m >= 2) {
        if (start > n - m) return PyLong_FromSsize_t(kNotFound);
        Py_ssize_t resume = start;
        const Py_ssize_t found = find_avx2(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(buffer)), n,
                                           start, reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(needle)),
                                           m, &resume);
        if (found != kGiveUp) return PyLong_FromSsize_t(found);
        return bytes_find(buffer, needle, resume);
    }
#endif
    return bytes_find(buffer, needle, start);
}

PyMethodDef methods[] = {
    {"find_delimiter", fastcall(find_delimiter),
     METH_FASTCALL,
     PyDoc_STR("find_delimiter(buffer, delimiter, start, /)\n--\n\n"
               "buffer.find(delimiter, start), with a vectorised search where the CPU has one.")},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject *module) {
#if QM_MULTIPART_AVX2
    __builtin_cpu_init();
    has_avx2 = __builtin_cpu_supports("avx2");
#endif
    return PyModule_AddObjectRef(module, "HAS_SIMD", has_avx2 ? Py_True : Py_False);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "quenmark._multipart",
    .m_doc = PyDoc_STR("Vectorised delimiter search for quenmark.multipart."),
    .m_size = 0,
    .m_methods = methods,
    .m_slots = slots,
};

}  // namespace
}  // namespace qm::multipart

PyMODINIT_FUNC PyInit__multipart() { return PyModuleDef_Init(&qm::multipart::module_def); }
