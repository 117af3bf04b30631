// OpenSSL's texts for one-line messages and listings: the reason of the
// last failure, times, names and serial numbers.
#pragma once

#include <openssl/asn1.h>
#include <openssl/x509.h>

#include <string>

namespace kivocrypto {

// The reason text of the oldest queued OpenSSL error ("unknown reason" when
// the queue is empty); the queue is cleared.
std::string takeOpenSslReason();

// A UTCTime or GeneralizedTime as "YYYY-MM-DD HH:MM:SS UTC"; "?" when there
// is none or it cannot be read.
std::string formatAsn1Time(const ASN1_TIME* time);

// A distinguished name in the RFC 2253 form ("CN=Signer,O=Example").
std::string nameText(const X509_NAME* name);

// An INTEGER (a certificate serial) as upper-case hex, "-" before a
// negative one; "?" when it cannot be converted.
std::string integerHex(const ASN1_INTEGER* value);

}  // namespace kivocrypto
