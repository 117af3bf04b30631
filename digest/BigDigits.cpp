#include "digest/BigDigits.h"

#include <algorithm>
#include <bit>

namespace kivo::mp {
namespace {

using Double = std::uint64_t;
constexpr int kDigitBits = 32;

// Number of digits up to and including the most significant non-zero one.
std::size_t significantDigits(const Digit* a, std::size_t count) {
    while (count > 0 && a[count - 1] == 0) --count;
    return count;
}

// remainder (of `divisorCount` digits) = dividend mod divisor, where the
// dividend has `dividendCount` <= 2 * kMaxDigits digits and the divisor's
// top digit is not zero (Knuth, TAOCP vol. 2, 4.3.1, algorithm D).
void modulo(Digit* remainder, const Digit* dividend, std::size_t dividendCount, const Digit* divisor,
            std::size_t divisorCount) {
    const std::size_t n = divisorCount;
    if (dividendCount < n) {
        std::copy_n(dividend, dividendCount, remainder);
        std::fill(remainder + dividendCount, remainder + n, 0);
        return;
    }
    if (n == 1) {
        Double rest = 0;
        for (std::size_t i = dividendCount; i-- > 0;) rest = ((rest << kDigitBits) | dividend[i]) % divisor[0];
        remainder[0] = static_cast<Digit>(rest);
        return;
    }
    // Normalise so that the divisor's top bit is set.
    const int shift = std::countl_zero(divisor[n - 1]);
    Digit v[kMaxDigits];
    Digit u[2 * kMaxDigits + 1];
    for (std::size_t i = n - 1; i > 0; --i) {
        v[i] = shift == 0 ? divisor[i] : (divisor[i] << shift) | (divisor[i - 1] >> (kDigitBits - shift));
    }
    v[0] = divisor[0] << shift;
    u[dividendCount] = shift == 0 ? 0 : dividend[dividendCount - 1] >> (kDigitBits - shift);
    for (std::size_t i = dividendCount - 1; i > 0; --i) {
        u[i] = shift == 0 ? dividend[i] : (dividend[i] << shift) | (dividend[i - 1] >> (kDigitBits - shift));
    }
    u[0] = dividend[0] << shift;

    const Double base = Double{1} << kDigitBits;
    for (std::size_t j = dividendCount - n + 1; j-- > 0;) {
        const Double top = (Double{u[j + n]} << kDigitBits) | u[j + n - 1];
        Double qhat = top / v[n - 1];
        Double rhat = top % v[n - 1];
        while (qhat >= base || qhat * v[n - 2] > ((rhat << kDigitBits) | u[j + n - 2])) {
            --qhat;
            rhat += v[n - 1];
            if (rhat >= base) break;
        }
        // u[j .. j+n] -= qhat * v
        std::int64_t borrow = 0;
        Double carry = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Double product = qhat * v[i] + carry;
            carry = product >> kDigitBits;
            const std::int64_t difference =
                static_cast<std::int64_t>(u[i + j]) - static_cast<std::int64_t>(product & 0xFFFFFFFFu) + borrow;
            u[i + j] = static_cast<Digit>(difference);
            borrow = difference >> kDigitBits;
        }
        const std::int64_t difference =
            static_cast<std::int64_t>(u[j + n]) - static_cast<std::int64_t>(carry) + borrow;
        u[j + n] = static_cast<Digit>(difference);
        if (difference < 0) {
            // qhat was one too large: add the divisor back.
            Double sum = 0;
            for (std::size_t i = 0; i < n; ++i) {
                sum += Double{u[i + j]} + v[i];
                u[i + j] = static_cast<Digit>(sum);
                sum >>= kDigitBits;
            }
            u[j + n] += static_cast<Digit>(sum);
        }
    }
    // Undo the normalisation on the remainder.
    for (std::size_t i = 0; i < n; ++i) {
        remainder[i] = shift == 0 ? u[i] : (u[i] >> shift) | (u[i + 1] << (kDigitBits - shift));
    }
}

// result = a * b mod m (a, b already below m), over `count` digits, where
// m has `mCount` significant digits.
void modMultiply(Digit* result, const Digit* a, const Digit* b, const Digit* m, std::size_t count,
                 std::size_t mCount) {
    Digit product[2 * kMaxDigits] = {};
    for (std::size_t i = 0; i < count; ++i) {
        Double carry = 0;
        for (std::size_t k = 0; k < count; ++k) {
            const Double t = Double{a[i]} * b[k] + product[i + k] + carry;
            product[i + k] = static_cast<Digit>(t);
            carry = t >> kDigitBits;
        }
        product[i + count] = static_cast<Digit>(carry);
    }
    Digit remainder[kMaxDigits] = {};
    modulo(remainder, product, significantDigits(product, 2 * count), m, mCount);
    std::copy_n(remainder, count, result);
    std::fill(result + mCount, result + count, 0);
}

}  // namespace

std::size_t fromOctets(Digit* digits, std::size_t count, const unsigned char* bytes,
                       std::size_t length) {
    std::fill(digits, digits + count, 0);
    std::size_t filled = 0;
    for (std::size_t i = 0; i < count && length > 0; ++i) {
        Digit digit = 0;
        for (int shift = 0; shift < kDigitBits && length > 0; shift += 8) {
            digit |= static_cast<Digit>(bytes[--length]) << shift;
        }
        digits[i] = digit;
        filled = i + 1;
    }
    return filled;
}

std::size_t toOctets(const Digit* digits, std::size_t count, unsigned char* bytes,
                     std::size_t length) {
    std::fill(bytes, bytes + length, 0);
    std::size_t position = length;
    for (std::size_t i = 0; i < count && position > 0; ++i) {
        for (int shift = 0; shift < kDigitBits && position > 0; shift += 8) {
            bytes[--position] = static_cast<unsigned char>(digits[i] >> shift);
        }
    }
    const std::size_t digitsUsed = significantDigits(digits, count);
    if (digitsUsed == 0) return 0;
    const int topBytes = (kDigitBits - std::countl_zero(digits[digitsUsed - 1]) + 7) / 8;
    return (digitsUsed - 1) * 4 + static_cast<std::size_t>(topBytes);
}

int modExp(Digit* result, const Digit* base, const Digit* exponent, const Digit* modulus,
           std::size_t count) {
    if (count == 0 || count > kMaxDigits) return -1;
    std::fill(result, result + count, 0);
    const std::size_t mCount = significantDigits(modulus, count);
    if (mCount == 0) return -1;

    Digit reducedBase[kMaxDigits] = {};
    modulo(reducedBase, base, significantDigits(base, count), modulus, mCount);
    Digit accumulator[kMaxDigits] = {};
    // 1 mod m (0 when m is 1).
    accumulator[0] = (mCount == 1 && modulus[0] == 1) ? 0 : 1;

    for (std::size_t i = significantDigits(exponent, count); i-- > 0;) {
        for (int bit = kDigitBits - 1; bit >= 0; --bit) {
            modMultiply(accumulator, accumulator, accumulator, modulus, count, mCount);
            if ((exponent[i] >> bit) & 1u) {
                modMultiply(accumulator, accumulator, reducedBase, modulus, count, mCount);
            }
        }
    }
    std::copy_n(accumulator, count, result);
    return 0;
}

}  // namespace kivo::mp
