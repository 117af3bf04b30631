// Memory signing with certificates and keys that need not match: the
// input starts with the signer certificate (DER; when it does not parse,
// the chosen key's own certificate signs, with an extra certificate blob
// taken from the input), then a key choice, a hash code, a flags octet and
// the content. The output buffer is a heap block of exactly the length the
// length query reported, so that AddressSanitizer sees any write past it;
// a success that claims more than was reported aborts.
#include "fuzz/FuzzInput.h"

#include "SignMessageSSLM.h"
#include "tools/testpki/Pki.h"

#include <cstdlib>
#include <vector>

namespace {

struct SigningPair {
    kivo::test::EvpKeyPtr key;
    kivo::test::X509Ptr cert;
};

// Keys of every shape the placeholder must hold: small and large RSA, a
// named and an explicit curve, P-521 (long-form lengths) and DSA.
const std::vector<SigningPair>& signingPairs() {
    static const std::vector<SigningPair> pairs = [] {
        std::vector<SigningPair> made;
        for (const char* description : {"RSA:1024", "RSA:2048", "EC:P-256", "EC-explicit:P-256", "EC:P-521", "DSA:1024"}) {
            SigningPair pair{kivo::test::generateKeyOf(description), nullptr};
            kivo::test::CertOptions options;
            options.subjectKey = pair.key.get();
            pair.cert = kivo::test::makeCertificate(options);
            made.push_back(std::move(pair));
        }
        return made;
    }();
    return pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto& pairs = signingPairs();
    const unsigned char* cursor = data;
    kivo::test::X509Ptr parsed(d2i_X509(nullptr, &cursor, static_cast<long>(size)));
    std::size_t rest = size - static_cast<std::size_t>(parsed ? cursor - data : 0);
    if (!parsed) cursor = data;
    const auto take = [&]() -> std::uint8_t {
        if (rest == 0) return 0;
        --rest;
        return *cursor++;
    };
    const SigningPair& pair = pairs[take() % pairs.size()];
    const int hash = static_cast<int>(take() % 10) - 2;
    const std::uint8_t flags = take();

    std::vector<unsigned char> extra;
    if (!parsed) {
        const std::size_t extraLength = std::min<std::size_t>(rest, std::size_t{take()} * 8);
        extra.assign(cursor, cursor + extraLength);
        cursor += extraLength;
        rest -= extraLength;
    }
    std::vector<unsigned char> content(cursor, cursor + rest);
    _ASN1_CERT_BLOB blob{extra.data(), static_cast<unsigned long>(extra.size())};

    CSignMessage::m_isP12 = true;
    auto* key = reinterpret_cast<unsigned long*>(pair.key.get());
    X509* cert = parsed ? parsed.get() : pair.cert.get();
    const bool embed = (flags & 1) != 0;
    _ASN1_CERT_BLOB* extras = parsed ? nullptr : &blob;
    const int extraCount = parsed ? 0 : (flags & 2) != 0 ? 1 : -1;
    unsigned long reported = 0;
    if (CSignMessage::SignBlobSSLForLength(content.data(), static_cast<int>(content.size()), nullptr, &reported,
                                           nullptr, cert, key, hash, embed, extras, extraCount) != 0) {
        return 0;
    }
    const std::vector<std::uint8_t> initial(reported, 0xEE);
    kivo::fuzz::ExactCopy out(initial.data(), initial.size());
    unsigned long written = 0;
    if (CSignMessage::SignBlobSSL(content.data(), static_cast<int>(content.size()), out.data(), &written, nullptr,
                                  cert, key, hash, embed, extras, extraCount) == 0 &&
        written > reported) {
        std::abort();
    }
    return 0;
}
