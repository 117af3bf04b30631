// The device authentication with key exchange of TCOS 3.0 cards, which opens
// secure messaging: both sides prove their RSA keys with 1024-bit message
// blocks framed 6A ... BC (ISO/IEC 9796-2, SHA-1), each carrying a 32-byte
// key share, and derive the session keys from the two shares.
//
// Choices this system makes where the card application leaves them open:
// - the card's RSA key is given as two SM key values: the first is its
//   modulus (128 bytes), the second its public exponent;
// - the 16 bytes sent with INTERNAL AUTHENTICATE are the terminal's 8-byte
//   random challenge RND.IFD followed by the 8-byte terminal identifier
//   cTerminalId; the card's hash covers exactly these 16 bytes;
// - the terminal's hash covers its 106 bytes followed by the card's 8-byte
//   challenge RND.ICC (from GET CHALLENGE) and the same terminal identifier.
// Each block is signed with the sender's private key and then enciphered
// with the receiver's public key; the receiver undoes both.
#pragma once

#include "smartcard/base/SC_Profile_Base.h"

#include <array>
#include <cstdint>

namespace kivo::card {

// The terminal identifier of the exchange ("KIVOTERM").
inline constexpr std::array<std::uint8_t, 8> cTerminalId = {'K', 'I', 'V', 'O', 'T', 'E', 'R', 'M'};
// The terminal's built-in public key, for cards that must know it.
extern const char* const cTerminalModulusHex;

// The keys of an open secure-messaging session; wiped when they go.
struct SmSession {
    std::array<std::uint8_t, 16> encryptionKey{};
    std::array<std::uint8_t, 16> macKey{};
    std::array<std::uint8_t, 8> sendSequenceCounter{};
    SmSession() = default;
    SmSession(const SmSession&) = default;
    SmSession& operator=(const SmSession&) = default;
    ~SmSession() { wipe(); }
    void wipe();
    // The counter as an 8-byte big-endian number, plus one.
    void incrementCounter();
};

// K = K.ICC xor K.IFD; keys the first 16 bytes of SHA-1(K || 00000001) and
// SHA-1(K || 00000002); counter = last 4 bytes of RND.ICC || last 4 of RND.IFD.
SmSession deriveSmSession(const std::uint8_t* cardShare, const std::uint8_t* terminalShare,
                          const std::uint8_t* cardChallenge, const std::uint8_t* terminalChallenge);

// Runs the seven steps against `card` (its INTERNAL AUTHENTICATE, GET
// CHALLENGE and EXTERNAL AUTHENTICATE) with the card key given as modulus
// and public exponent. 0 and the session, or 255 for any failure.
CardResult authenticateDevice(CSC_Profile_Base& card, const CSC_Profile_Base::Bytes& cardModulus,
                              const CSC_Profile_Base::Bytes& cardExponent, SmSession& session);

}  // namespace kivo::card
