// OpenSSL checks of what the card returns: signatures verified against the public part of a key file or a
// certificate, and encryption for the decipher round trip.
#pragma once

#include <cstdint>
#include <filesystem>
#include <utility>
#include <string>
#include <vector>

namespace kivo::test {

using ByteVector = std::vector<std::uint8_t>;

// The SHA-256 DigestInfo of `data`, as a host sends it for PKCS#1 signing.
ByteVector sha256DigestInfo(const ByteVector& data);
ByteVector sha256(const ByteVector& data);

// Signature checks with the public part of the private key in `pemFile`.
bool verifyRsaSha256(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature);
bool verifyRsaPkcs1(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature,
                    const std::string& digest);
// PSS: MGF1 with `digest` (OpenSSL's name, "SHA256"), salt of `saltLength` bytes.
bool verifyRsaPss(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature,
                  const std::string& digest, int saltLength);
// ECDSA in plain r || s form.
bool verifyEcdsaPlain(const std::string& pemFile, const ByteVector& hash, const ByteVector& signature);
ByteVector rsaEncrypt(const std::string& pemFile, const ByteVector& plain);

// The same checks with the public key of a DER certificate.
bool verifyRsaPkcs1(const ByteVector& certificate, const ByteVector& hash, const ByteVector& signature,
                    const std::string& digest);
bool verifyRsaPss(const ByteVector& certificate, const ByteVector& hash, const ByteVector& signature,
                  const std::string& digest, int saltLength);
bool verifyEcdsaPlain(const ByteVector& certificate, const ByteVector& hash, const ByteVector& signature);
ByteVector rsaEncrypt(const ByteVector& certificate, const ByteVector& plain);

// A private temporary folder with fresh key files (name -> kind) and the certificates `<stem>.crt` of the keys
// `<stem>.pem` named, removed with the object.
class CardKeyFolder {
public:
    CardKeyFolder(const std::string& prefix, const std::vector<std::pair<std::string, std::string>>& keys,
                  const std::vector<std::string>& certificates = {});
    ~CardKeyFolder();
    CardKeyFolder(const CardKeyFolder&) = delete;
    CardKeyFolder& operator=(const CardKeyFolder&) = delete;
    const std::filesystem::path& path() const { return m_path; }
    std::string file(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

}  // namespace kivo::test
