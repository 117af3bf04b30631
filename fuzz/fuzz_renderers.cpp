// Every extension and restriction renderer on arbitrary bytes. The first
// octet chooses the withNames flag of getQCStatements; the rest is the
// element, in a heap block of exactly its size.
#include "fuzz/FuzzInput.h"

#include "ExtensionSSL.h"
#include "RestrictionSSL.h"

#include <cstring>

namespace {

constexpr std::size_t kResultBufferSize = 2048;

// A result must be a text that ends inside its buffer.
void check(const char* text) {
    if (text == nullptr || ::strnlen(text, kResultBufferSize) == kResultBufferSize) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool withNames = (data[0] & 1) != 0;
    kivo::fuzz::ExactCopy input(data + 1, size - 1);
    unsigned char* p = input.data();
    const unsigned long n = input.size();

    using E = CExtensionSSL;
    check(E::getAuthorityInfoAccess(p, n));
    check(E::getAuthorityKeyIdent(p, n));
    check(E::getCAPolicyURL(p, n));
    check(E::getCRLDistrbutionPoints(p, n));
    check(E::getCertBaseURL(p, n));
    check(E::getCertPolicies(p, n));
    check(E::getExtendedKeyUsage(p, n));
    check(E::getIdIsismmtAtAsmission(p, n));
    check(E::getIdIsismmtAtIccsn(p, n));
    check(E::getIssuerAltName(p, n));
    check(E::getKeyUsage(p, n));
    check(E::getQCStatements(p, n, withNames));
    check(E::getRestriction(p, n));
    check(E::getSubjectAltName(p, n));
    check(E::getSubjectKeyIdent(p, n));

    using R = CRestrictionSSL;
    check(R::getRestriction(p, n));
    check(R::getRestrictionAdditional(p, n));
    check(R::getRestrictionAdmission(p, n));
    check(R::getRestrictionIdentity(p, n));
    check(R::getRestrictionMajority(p, n));
    check(R::getRestrictionMonetary(p, n));
    check(R::getRestrictionProkura(p, n));
    return 0;
}
