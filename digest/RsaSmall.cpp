#include "digest/RsaSmall.h"

CRsaSmall::CRsaSmall() = default;
CRsaSmall::~CRsaSmall() = default;

int CRsaSmall::set(Component which, const unsigned char* bytes, unsigned short len) {
    auto number = std::make_unique<Number>();
    kivo::mp::fromOctets(number->data(), number->size(), bytes, bytes != nullptr ? len : 0);
    m_components[which] = std::move(number);
    return 0;
}

int CRsaSmall::SetModulus(const unsigned char* b, unsigned short n) { return set(kModulus, b, n); }
int CRsaSmall::SetPublicExponent(const unsigned char* b, unsigned short n) { return set(kPublicExponent, b, n); }
int CRsaSmall::SetPrivateExponent(const unsigned char* b, unsigned short n) { return set(kPrivateExponent, b, n); }
int CRsaSmall::SetPrimeP(const unsigned char* b, unsigned short n) { return set(kPrimeP, b, n); }
int CRsaSmall::SetPrimeQ(const unsigned char* b, unsigned short n) { return set(kPrimeQ, b, n); }
int CRsaSmall::SetExponentP(const unsigned char* b, unsigned short n) { return set(kExponentP, b, n); }
int CRsaSmall::SetExponentQ(const unsigned char* b, unsigned short n) { return set(kExponentQ, b, n); }
int CRsaSmall::SetCoefficient(const unsigned char* b, unsigned short n) { return set(kCoefficient, b, n); }

int CRsaSmall::exponentiate(Component exponent, const unsigned char* in, unsigned int inLen,
                            unsigned char* out, unsigned int outLen) const {
    const Number* modulus = m_components[kModulus].get();
    const Number* power = m_components[exponent].get();
    if (in == nullptr || out == nullptr || modulus == nullptr || power == nullptr) return -1;
    Number base{};
    Number result{};
    kivo::mp::fromOctets(base.data(), base.size(), in, inLen);
    if (kivo::mp::modExp(result.data(), base.data(), power->data(), modulus->data(), result.size()) != 0) {
        return -1;
    }
    kivo::mp::toOctets(result.data(), result.size(), out, outLen);
    return 0;
}

int CRsaSmall::PrivateOp(const unsigned char* in, unsigned int inLen, unsigned char* out,
                         unsigned int outLen) {
    return exponentiate(kPrivateExponent, in, inLen, out, outLen);
}

int CRsaSmall::PublicOp(const unsigned char* in, unsigned int inLen, unsigned char* out,
                        unsigned int outLen) {
    return exponentiate(kPublicExponent, in, inLen, out, outLen);
}
