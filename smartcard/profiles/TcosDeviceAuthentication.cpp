#include "smartcard/profiles/TcosDeviceAuthentication.h"

#include "digest/RsaSmall.h"
#include "digest/Sha.h"
#include "smartcard/transport/CardTrace.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace kivo::card {

namespace {

using Bytes = CSC_Profile_Base::Bytes;

// The terminal's fixed 1024-bit RSA key pair. It identifies this software
// towards the card, not any person; the cards of the application carry its
// public part.
const char* const kTerminalModulus =
    "C7DACBF187891370907280435216E5C140683C2FDF70C2280C1C041B3FC258340F1389A64566D23D37268B36EF4FF14C"
    "5792E45E76BF82D76AA6F05084157898F699F2C42929CA8CD073FFE7693A5AEDD69C64FE17D40D3151485C468DFCD734"
    "D2CCD5732FA088E437B59D78A8DB308FE2DE098C768F60FE2F7F7E164EEE4361";
const char* const kTerminalPrivateExponent =
    "66A30623F7603D5C8CC250FEC1D4C28FB9BD0E53E3A36C02D71D383AAA46EBB7689AB7116E08FD25B5021572D3FA3148"
    "EC9CA2ADA4BC7BBC97A83E388B6CDF6E7EAFE55EF873F17B3DF8A5802301E5357DD2A9383EA259CA032D0845B8270A78"
    "569A93731F0D239340432A3B64B885D7A2712EF5927CAA7832B630FF0B4677E5";
const char* const kTerminalPublicExponent = "010001";
const char* const kTerminalPrimeP =
    "E68CEBD439A2EF36545F098C6A63B12B9B2CC02FC2AC847454822869AF65CC07FF5EC5AD4AA8C5CB9E580BD09133DF28"
    "DA53572944B1381152600FE2C73C5AE7";
const char* const kTerminalPrimeQ =
    "DDEA72F9D716C207E11D7A453CEF52127819FF8E3C9CCB7AB912543E77E2D58A9231537E2A26BD903EB65A0B394024DA"
    "228E61FC1AF6C22AD270D75CAF51AE77";
const char* const kTerminalExponentP =
    "5AC669A469FD294AAEF5AC80C8F2EFB347A9DB11F308922E6B87C3F9B8C1D00FE6109EAC9894D32C54F03DD6A515536C"
    "766A120B81AC7572FC882E3910514749";
const char* const kTerminalExponentQ =
    "93C0CCEAC225F9EC6B1B48549F3CACC57547C21A7F0ADA840C8342AA11026BB186A2E6F762B34695AADB98DA4E350214"
    "66DBAC2BC1FC37CD712E06864488BB03";
const char* const kTerminalCoefficient =
    "2B9F7CE1FAD7CA7E71B38E964789B55FB7AD605DC1816C26CA1550D032C386A5B1A0155E6963E8EB1972B475E809C317"
    "F710CAE05E3657ACD8352EBBECED333E";

constexpr std::size_t kBlock = 128;        // 1024-bit message blocks
constexpr std::size_t kPaddingLength = 74;
constexpr std::size_t kShareLength = 32;
constexpr std::size_t kSha1Length = 20;
constexpr std::size_t kHashedLength = kPaddingLength + kShareLength;  // 106
constexpr std::size_t kChallengeLength = 8;
constexpr std::uint8_t kHeader = 0x6A;
constexpr std::uint8_t kTrailer = 0xBC;
constexpr int kMaxInternalAuthentications = 11;
// A card challenge whose first byte exceeds 79 is asked for again; a card
// that never gives another ends the exchange instead of looping on.
constexpr int kMaxChallenges = 32;
// The terminal's signature must lie below the card modulus to be
// enciphered for the card; new random padding is drawn until it does.
constexpr int kMaxTerminalBlocks = 32;

Bytes fromHex(const char* text) {
    Bytes out;
    for (std::size_t i = 0; text[i] != 0 && text[i + 1] != 0; i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(text + i, 2), nullptr, 16)));
    }
    return out;
}

void load(int (CRsaSmall::*set)(const unsigned char*, unsigned short), CRsaSmall& rsa, const Bytes& value) {
    (rsa.*set)(value.data(), static_cast<unsigned short>(value.size()));
}

// A buffer for key shares and blocks that is wiped when it goes.
struct Secret {
    explicit Secret(std::size_t size) : bytes(size, 0) {}
    ~Secret() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Bytes bytes;
};

bool random(std::uint8_t* out, std::size_t length) {
    return RAND_bytes(out, static_cast<int>(length)) == 1;
}

std::array<std::uint8_t, kSha1Length> sha1(const std::uint8_t* first, std::size_t firstLength,
                                          const std::uint8_t* second, std::size_t secondLength) {
    CSHA digest(0);
    digest.Update(first, static_cast<std::uint32_t>(firstLength));
    digest.Update(second, static_cast<std::uint32_t>(secondLength));
    std::array<std::uint8_t, kSha1Length> out{};
    digest.Final(out.data());
    return out;
}

// The two RSA keys of the exchange: the terminal's pair and the card's
// public key.
class ExchangeKeys {
public:
    ExchangeKeys(const Bytes& cardModulus, const Bytes& cardExponent) {
        load(&CRsaSmall::SetModulus, m_terminal, fromHex(kTerminalModulus));
        load(&CRsaSmall::SetPublicExponent, m_terminal, fromHex(kTerminalPublicExponent));
        Secret d(0);
        d.bytes = fromHex(kTerminalPrivateExponent);
        load(&CRsaSmall::SetPrivateExponent, m_terminal, d.bytes);
        load(&CRsaSmall::SetPrimeP, m_terminal, fromHex(kTerminalPrimeP));
        load(&CRsaSmall::SetPrimeQ, m_terminal, fromHex(kTerminalPrimeQ));
        load(&CRsaSmall::SetExponentP, m_terminal, fromHex(kTerminalExponentP));
        load(&CRsaSmall::SetExponentQ, m_terminal, fromHex(kTerminalExponentQ));
        load(&CRsaSmall::SetCoefficient, m_terminal, fromHex(kTerminalCoefficient));
        m_usable = cardModulus.size() == kBlock && (cardModulus[0] & 0x80) != 0 &&
                   !cardExponent.empty() && cardExponent.size() <= kBlock;
        if (!m_usable) return;
        m_cardModulus = cardModulus;
        load(&CRsaSmall::SetModulus, m_card, cardModulus);
        load(&CRsaSmall::SetPublicExponent, m_card, cardExponent);
    }
    bool usable() const { return m_usable; }
    const Bytes& cardModulus() const { return m_cardModulus; }

    // The card's answer undone: the terminal's private operation, then the
    // card's public one.
    bool open(const Bytes& answer, Bytes& block) {
        Secret inner(kBlock);
        block.assign(kBlock, 0);
        return m_terminal.PrivateOp(answer.data(), kBlock, inner.bytes.data(), kBlock) == 0 &&
               m_card.PublicOp(inner.bytes.data(), kBlock, block.data(), kBlock) == 0;
    }
    // The terminal's signature of `block`, when it lies below the card modulus.
    bool sign(const Bytes& block, Bytes& signature) {
        signature.assign(kBlock, 0);
        return m_terminal.PrivateOp(block.data(), kBlock, signature.data(), kBlock) == 0 &&
               std::memcmp(signature.data(), m_cardModulus.data(), kBlock) < 0;
    }
    bool encipherForCard(const Bytes& signature, Bytes& cryptogram) {
        cryptogram.assign(kBlock, 0);
        return m_card.PublicOp(signature.data(), kBlock, cryptogram.data(), kBlock) == 0;
    }

private:
    CRsaSmall m_terminal;
    CRsaSmall m_card;
    Bytes m_cardModulus;
    bool m_usable = false;
};

// Steps 2 to 4: the card's framed block with its key share, checked
// against the 16 bytes it was sent. New challenges while the frame is wrong.
bool cardKeyShare(CSC_Profile_Base& card, ExchangeKeys& keys, std::uint8_t* terminalChallenge,
                  std::uint8_t* cardShare) {
    Secret block(kBlock);
    std::array<std::uint8_t, 16> sent{};
    for (int attempt = 0; attempt < kMaxInternalAuthentications; ++attempt) {
        if (!random(terminalChallenge, kChallengeLength)) return false;
        std::copy_n(terminalChallenge, kChallengeLength, sent.begin());
        std::copy(cTerminalId.begin(), cTerminalId.end(), sent.begin() + kChallengeLength);
        Bytes answer;
        if (card.InternalAuthenticate(sent.data(), sent.size(), answer) != cOk) return false;
        if (answer.size() != kBlock || !keys.open(answer, block.bytes)) continue;
        if (block.bytes.front() != kHeader || block.bytes.back() != kTrailer) continue;
        const std::uint8_t* hashed = block.bytes.data() + 1;
        const auto expected = sha1(hashed, kHashedLength, sent.data(), sent.size());
        if (std::memcmp(expected.data(), hashed + kHashedLength, kSha1Length) != 0) return false;
        std::copy_n(hashed + kPaddingLength, kShareLength, cardShare);
        return true;
    }
    return false;
}

// Step 5: an 8-byte card challenge whose first byte is at most 79.
bool cardChallenge(CSC_Profile_Base& card, std::uint8_t* challenge) {
    for (int round = 0; round < kMaxChallenges; ++round) {
        if (card.GetChallange(challenge, kChallengeLength) != cOk) return false;
        if (challenge[0] <= 0x79) return true;
    }
    return false;
}

// Step 6: the terminal's framed block with its key share, signed and
// enciphered for the card, sent with EXTERNAL AUTHENTICATE.
bool sendTerminalShare(CSC_Profile_Base& card, ExchangeKeys& keys, const std::uint8_t* challenge,
                       std::uint8_t* terminalShare) {
    Secret block(kBlock);
    Secret signature(kBlock);
    std::array<std::uint8_t, 16> bound{};
    std::copy_n(challenge, kChallengeLength, bound.begin());
    std::copy(cTerminalId.begin(), cTerminalId.end(), bound.begin() + kChallengeLength);
    if (!random(terminalShare, kShareLength)) return false;
    for (int attempt = 0; attempt < kMaxTerminalBlocks; ++attempt) {
        std::uint8_t* hashed = block.bytes.data() + 1;
        block.bytes.front() = kHeader;
        block.bytes.back() = kTrailer;
        if (!random(hashed, kPaddingLength)) return false;
        std::copy_n(terminalShare, kShareLength, hashed + kPaddingLength);
        const auto digest = sha1(hashed, kHashedLength, bound.data(), bound.size());
        std::copy(digest.begin(), digest.end(), hashed + kHashedLength);
        if (!keys.sign(block.bytes, signature.bytes)) continue;
        Bytes cryptogram;
        return keys.encipherForCard(signature.bytes, cryptogram) &&
               card.ExternalAuthenticate(cryptogram.data(), kBlock) == cOk;
    }
    return false;
}

}  // namespace

const char* const cTerminalModulusHex = kTerminalModulus;

void SmSession::wipe() {
    OPENSSL_cleanse(encryptionKey.data(), encryptionKey.size());
    OPENSSL_cleanse(macKey.data(), macKey.size());
    OPENSSL_cleanse(sendSequenceCounter.data(), sendSequenceCounter.size());
}

void SmSession::incrementCounter() {
    for (auto it = sendSequenceCounter.rbegin(); it != sendSequenceCounter.rend(); ++it) {
        if (++*it != 0) break;
    }
}

SmSession deriveSmSession(const std::uint8_t* cardShare, const std::uint8_t* terminalShare,
                          const std::uint8_t* cardChallenge, const std::uint8_t* terminalChallenge) {
    Secret shared(kShareLength);
    for (std::size_t i = 0; i < kShareLength; ++i) shared.bytes[i] = cardShare[i] ^ terminalShare[i];
    SmSession session;
    const std::uint8_t encryption[4] = {0, 0, 0, 1};
    const std::uint8_t mac[4] = {0, 0, 0, 2};
    auto key = sha1(shared.bytes.data(), kShareLength, encryption, sizeof encryption);
    std::copy_n(key.begin(), session.encryptionKey.size(), session.encryptionKey.begin());
    key = sha1(shared.bytes.data(), kShareLength, mac, sizeof mac);
    std::copy_n(key.begin(), session.macKey.size(), session.macKey.begin());
    OPENSSL_cleanse(key.data(), key.size());
    std::copy_n(cardChallenge + 4, 4, session.sendSequenceCounter.begin());
    std::copy_n(terminalChallenge + 4, 4, session.sendSequenceCounter.begin() + 4);
    return session;
}

CardResult authenticateDevice(CSC_Profile_Base& card, const Bytes& cardModulus,
                              const Bytes& cardExponent, SmSession& session) {
    ExchangeKeys keys(cardModulus, cardExponent);
    if (!keys.usable()) return cFailed;
    Secret cardShare(kShareLength);
    Secret terminalShare(kShareLength);
    std::array<std::uint8_t, kChallengeLength> terminalChallenge{};
    std::array<std::uint8_t, kChallengeLength> challenge{};
    if (!cardKeyShare(card, keys, terminalChallenge.data(), cardShare.bytes.data()) ||
        !cardChallenge(card, challenge.data()) ||
        !sendTerminalShare(card, keys, challenge.data(), terminalShare.bytes.data())) {
        return cFailed;
    }
    session = deriveSmSession(cardShare.bytes.data(), terminalShare.bytes.data(), challenge.data(),
                              terminalChallenge.data());
    return cOk;
}

}  // namespace kivo::card
