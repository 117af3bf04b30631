// CRsaSmall: unpadded 1024-bit RSA on the library's own multiple-precision
// numbers, for card code that computes with keys it supplies itself.
#pragma once

#include "digest/BigDigits.h"

#include <array>
#include <memory>

class CRsaSmall {
public:
    CRsaSmall();
    virtual ~CRsaSmall();
    CRsaSmall(const CRsaSmall&) = delete;
    CRsaSmall& operator=(const CRsaSmall&) = delete;

    // Each setter replaces one key component with the big-endian `bytes`
    // (at most 512 octets are taken, the least significant). Always 0.
    int SetModulus(const unsigned char* bytes, unsigned short len);
    int SetPublicExponent(const unsigned char* bytes, unsigned short len);
    int SetPrivateExponent(const unsigned char* bytes, unsigned short len);
    int SetPrimeP(const unsigned char* bytes, unsigned short len);
    int SetPrimeQ(const unsigned char* bytes, unsigned short len);
    int SetExponentP(const unsigned char* bytes, unsigned short len);   // d mod (p-1)
    int SetExponentQ(const unsigned char* bytes, unsigned short len);   // d mod (q-1)
    int SetCoefficient(const unsigned char* bytes, unsigned short len); // q^-1 mod p

    // out = in^d mod n and out = in^e mod n, written big-endian and
    // right-aligned into `outLen` octets. 0; -1 when an argument is null or
    // the key components needed are not set.
    int PrivateOp(const unsigned char* in, unsigned int inLen, unsigned char* out, unsigned int outLen);
    int PublicOp(const unsigned char* in, unsigned int inLen, unsigned char* out, unsigned int outLen);

private:
    using Number = std::array<kivo::mp::Digit, kivo::mp::kMaxDigits>;
    enum Component { kModulus, kPublicExponent, kPrivateExponent, kPrimeP, kPrimeQ,
                     kExponentP, kExponentQ, kCoefficient, kComponentCount };

    int set(Component which, const unsigned char* bytes, unsigned short len);
    int exponentiate(Component exponent, const unsigned char* in, unsigned int inLen,
                     unsigned char* out, unsigned int outLen) const;

    std::array<std::unique_ptr<Number>, kComponentCount> m_components;
};
