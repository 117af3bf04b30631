#include "tools/kivocrypto/SigningKey.h"

#include "tools/kivocrypto/MappedFile.h"
#include "tools/kivocrypto/OpenSslText.h"

#include "SignMessageSSLM.h"

#include <openssl/evp.h>
#include <openssl/pkcs12.h>

#include <climits>

namespace kivocrypto {
namespace {

struct Pkcs12Free {
    void operator()(PKCS12* bundle) const { PKCS12_free(bundle); }
};
using Pkcs12Ptr = std::unique_ptr<PKCS12, Pkcs12Free>;

Pkcs12Ptr readPkcs12(const std::string& path, std::string& error) {
    MappedFile file(path);
    if (!file.ok()) {
        error = path + ": " + file.error();
        return nullptr;
    }
    if (file.size() == 0 || file.size() > static_cast<std::size_t>(LONG_MAX)) {
        error = path + ": not a PKCS#12 file";
        return nullptr;
    }
    const unsigned char* cursor = file.data();
    Pkcs12Ptr bundle(d2i_PKCS12(nullptr, &cursor, static_cast<long>(file.size())));
    if (!bundle) error = path + ": not a PKCS#12 file";
    return bundle;
}

// The integrity MAC is what tells a wrong password from a damaged file. An
// empty password may have been applied as "no password" when the file was made.
bool passwordMatches(PKCS12* bundle, const std::string& password) {
    if (PKCS12_mac_present(bundle) != 1) return true;
    if (PKCS12_verify_mac(bundle, password.c_str(), -1) == 1) return true;
    return password.empty() && PKCS12_verify_mac(bundle, nullptr, 0) == 1;
}

CertificatePtr certificateOf(PKCS12* bundle, const std::string& password, const std::string& path,
                             std::string& error) {
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
    if (PKCS12_parse(bundle, password.c_str(), &key, &certificate, nullptr) != 1) {
        error = path + ": cannot read the key and certificate (" + takeOpenSslReason() + ")";
        return nullptr;
    }
    EVP_PKEY_free(key);
    if (certificate == nullptr) error = path + ": holds no certificate for its key";
    return CertificatePtr(certificate);
}

}  // namespace

void KeyHandleClose::operator()(unsigned long* key) const { CSignMessage::CloseSSLKey(key); }

bool openSigningKey(const std::string& p12File, const std::string& password, SigningKey& signer,
                    std::string& error) {
    Pkcs12Ptr bundle = readPkcs12(p12File, error);
    if (!bundle) return false;
    if (!passwordMatches(bundle.get(), password)) {
        error = p12File + ": wrong password (or the file is damaged)";
        return false;
    }
    signer.certificate = certificateOf(bundle.get(), password, p12File, error);
    if (!signer.certificate) return false;
    signer.key.reset(CSignMessage::OpenSSLKey_P12(p12File.c_str(), password.c_str(), nullptr, 0, 0,
                                                  nullptr));
    if (!signer.key) {
        error = p12File + ": the library cannot open the private key";
        return false;
    }
    return true;
}

}  // namespace kivocrypto
