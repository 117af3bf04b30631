// PIN objects with retry counters, private keys, the security environment
// and the commands that use them: VERIFY, CHANGE REFERENCE DATA, RESET RETRY
// COUNTER, MSE SET, PSO COMPUTE DIGITAL SIGNATURE, PSO DECIPHER, and the
// INTERNAL and EXTERNAL AUTHENTICATE of the device authentication.
#pragma once

#include "tools/vcard/Apdu.h"
#include "tools/vcard/Bytes.h"
#include "tools/vcard/Dialect.h"

#include <map>
#include <memory>
#include <optional>
#include <set>

struct evp_pkey_st;
struct evp_md_st;
struct bignum_st;

namespace vcard {

struct Pin {
    Bytes value;
    int retries = 3;     // tries left
    int maxRetries = 3;  // tries after a successful verification or unblock
    std::optional<std::uint8_t> puk;  // reference of the PIN that unblocks it
};

struct PkeyDeleter {
    void operator()(evp_pkey_st* key) const;
};
using Pkey = std::unique_ptr<evp_pkey_st, PkeyDeleter>;

struct BnDeleter {
    void operator()(bignum_st* number) const;
};
using Bn = std::unique_ptr<bignum_st, BnDeleter>;

// The numbers of the device authentication: the card's device key pair
// and the terminal's public key.
struct DeviceKeys {
    Bn modulus;
    Bn privateExponent;
    Bn terminalModulus;
    Bn terminalExponent;
};

struct Key {
    Pkey pkey;
    std::optional<std::uint8_t> pin;  // PIN that must be verified before use
};

class Security {
public:
    std::shared_ptr<const Dialect> dialect = std::make_shared<Dialect>();

    void addPin(std::uint8_t reference, Pin pin) { m_pins[reference] = std::move(pin); }
    void addKey(std::uint8_t reference, Key key) { m_keys[reference] = std::move(key); }
    const Pin* pin(std::uint8_t reference) const;

    // Forgets verified PINs and the security environment, as a reset does.
    void reset();

    Bytes verify(const Apdu& apdu);
    Bytes changeReferenceData(const Apdu& apdu);
    Bytes resetRetryCounter(const Apdu& apdu);
    Bytes manageSecurityEnvironment(const Apdu& apdu);
    Bytes computeSignature(const Apdu& apdu);
    Bytes decipher(const Apdu& apdu);
    // PSO HASH (2A 90 A0) with the hash as data object 90: kept for the
    // next COMPUTE DIGITAL SIGNATURE without data.
    Bytes hash(const Apdu& apdu);
    // INTERNAL AUTHENTICATE (88) with the key of the authentication
    // template: the data (a DigestInfo) signed with PKCS#1 type 1.
    Bytes internalAuthenticate(const Apdu& apdu);
    // EXTERNAL AUTHENTICATE (82) of the device authentication.
    Bytes externalAuthenticate(const Apdu& apdu);
    // The challenge GET CHALLENGE gave, for EXTERNAL AUTHENTICATE.
    void noteChallenge(const Bytes& challenge) { m_challenge = challenge; }

private:
    // Compares `given` with the PIN and counts the try; the status word of
    // the outcome (9000, 63Cx, 6983).
    std::uint16_t check(std::uint8_t reference, Pin& pin, const Bytes& given);
    // The key a PSO uses: the one set for its template, usable now.
    Key* keyFor(std::uint8_t templateTag, std::uint16_t& sw);
    // MSE RESTORE nn: the empty environment, or with restore-se=key the
    // environment in which key nn signs.
    Bytes restoreEnvironment(std::uint8_t number);
    // Signs `input` with `key`: RSA with PKCS#1 type 1 (no padding for a
    // whole block; with `md` the input is a hash put in its DigestInfo),
    // ECDSA as r || s. An empty result when the key cannot.
    Bytes sign(evp_pkey_st* key, const Bytes& input, const evp_md_st* md);
    // Device authentication (dialect device-auth-key): the card's framed
    // block with its key share for the 16 bytes received, signed with the
    // card key and enciphered for the terminal.
    Bytes deviceAuthenticate(const Apdu& apdu);
    // The keys of the device authentication, when the dialect names a
    // 1024-bit RSA device key and the terminal's key.
    std::optional<DeviceKeys> deviceKeys() const;
    // The digest of the hash template (MSE SET AA) when `data` is a bare
    // hash of it that the dialect has the card sign in its DigestInfo.
    const evp_md_st* hashOfTemplate(const Bytes& data) const;
    // After an operation with `key`: a single-signature card forgets its PIN.
    void spendSingleUse(const Key& key);
    // RSASSA-PSS of a plain hash (SHA-1, -256, -384 or -512 by its length),
    // MGF1 with the same hash, salt as long as the hash.
    Bytes signPss(evp_pkey_st* key, const Bytes& hash);
    // Whether `data` is to be signed with RSASSA-PSS: the signature
    // template names the family's PSS algorithm, or the family takes a bare
    // hash as the request for PSS.
    bool signsPss(const Bytes& data) const;

    std::map<std::uint8_t, Pin> m_pins;
    std::map<std::uint8_t, Key> m_keys;
    std::set<std::uint8_t> m_verified;
    std::map<std::uint8_t, std::uint8_t> m_environment;  // template tag -> key reference
    std::optional<std::uint8_t> m_hashAlgorithm;  // from the hash template (AA)
    std::optional<std::uint8_t> m_signatureAlgorithm;  // 80 of the signature template
    Bytes m_hash;                                 // from PSO HASH
    Bytes m_challenge;            // the last GET CHALLENGE answer
    Bytes m_authenticationData;   // the 16 bytes of the last device INTERNAL AUTHENTICATE
    int m_misframed = 0;          // device answers framed wrongly on purpose so far
};

}  // namespace vcard
