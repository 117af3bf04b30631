// Export macro and the few plain types shared by every public header.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#  if defined(KIVO_BUILDING_LIBRARY)
#    define KIVO_API __declspec(dllexport)
#  else
#    define KIVO_API __declspec(dllimport)
#  endif
#else
#  define KIVO_API __attribute__((visibility("default")))
#endif

#if !defined(_MSC_VER)
// Seconds since 1970 as handed out by the certificate, CRL and container
// getters; the name matches the interface on Windows.
typedef std::int64_t __int64;
#endif

// OpenSSL types that appear in the interface, declared without pulling in
// OpenSSL's headers.
struct x509_st;
struct evp_pkey_st;
struct asn1_string_st;
