/* quotelab: export macro and version.
 *
 * Every public class and function of libquotelab carries QL_API; everything else is hidden
 * (the library is built with -fvisibility=hidden) and the library binds its calls to its own
 * functions, so a host's function of the same name never replaces one of them. The exported
 * symbols are a checked list (cmake/quotelab.exports). QL_STATIC_ASSERT checks layouts in both
 * C99 and C++ translation units.
 *
 * Versions: the macros give the version the host was compiled against, ql_version_number()
 * and ql_version_string() the version of the library actually loaded. While the major version
 * is 0 every minor release may change the interface, and the shared object's name carries
 * major.minor (libquotelab.so.0.1).
 */
#ifndef QUOTELAB_EXPORT_H
#define QUOTELAB_EXPORT_H

#define QUOTELAB_VERSION_MAJOR 0
#define QUOTELAB_VERSION_MINOR 1
#define QUOTELAB_VERSION_PATCH 0
#define QUOTELAB_VERSION_STRING "0.1.0"
/* One number for compile-time comparisons: major * 10000 + minor * 100 + patch. */
#define QUOTELAB_VERSION \
  (QUOTELAB_VERSION_MAJOR * 10000 + QUOTELAB_VERSION_MINOR * 100 + QUOTELAB_VERSION_PATCH)

#if defined(_WIN32)
#if defined(QUOTELAB_BUILDING)
#define QL_API __declspec(dllexport)
#else
#define QL_API __declspec(dllimport)
#endif
#else
#define QL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif
/* Returns the loaded library's QUOTELAB_VERSION (major * 10000 + minor * 100 + patch). A host
 * that needs the interface it was compiled against checks
 * ql_version_number() / 100 == QUOTELAB_VERSION / 100 while the major version is 0. */
QL_API int ql_version_number(void);
/* Returns the loaded library's QUOTELAB_VERSION_STRING, e.g. "0.1.0" (a constant text). */
QL_API const char* ql_version_string(void);
#ifdef __cplusplus
} /* extern "C" */
#endif

#if defined(__GNUC__)
#define QL_PRINTF_FORMAT(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define QL_PRINTF_FORMAT(fmt_index, first_arg)
#endif

#define QL_CONCAT_(a, b) a##b
#define QL_CONCAT(a, b) QL_CONCAT_(a, b)
#if defined(__cplusplus)
#define QL_STATIC_ASSERT(cond, name) static_assert(cond, #name)
#elif defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define QL_STATIC_ASSERT(cond, name) _Static_assert(cond, #name)
#else
/* C99: a negative array size stops the compile. */
#define QL_STATIC_ASSERT(cond, name) \
  typedef char QL_CONCAT(ql_static_assert_, name)[(cond) ? 1 : -1]
#endif

#endif /* QUOTELAB_EXPORT_H */
