// CPkcs15: reads the PKCS#15 file system of a card through its card object.
//
// The constructor finds the application (EF.DIR, or a built-in record when
// the card has none) and reads EF.ODF and EF.TokenInfo; readObjects reads
// the certificate, authentication-object and private-key directories the
// ODF names and builds the exported certificates. Card errors show in
// `status` only; the lists keep what was read before a failure.
//
// Fixed bounds: at most 10 directory paths per object kind (the ODF), files
// of at most cMaxFileLength octets and paths of at most cMaxPathLength
// characters. Anything larger is refused with a trace line: a path as a
// file that cannot be selected, a file as one that cannot be read.
#pragma once

#include "smartcard/pkcs15/Pkcs15Auth.h"
#include "smartcard/pkcs15/Pkcs15Cert.h"
#include "smartcard/pkcs15/Pkcs15DfOdf.h"
#include "smartcard/pkcs15/Pkcs15DfTi.h"
#include "smartcard/pkcs15/Pkcs15EfDir.h"
#include "smartcard/pkcs15/Pkcs15ExportCert.h"
#include "smartcard/pkcs15/Pkcs15PrKey.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class CSC_Profile_Base;

class CPkcs15 {
public:
    static constexpr int cStatusOk = 0;
    static constexpr int cStatusNoDirectory = 1;    // no PKCS#15 directory, or EF.DIR unreadable
    static constexpr int cStatusNotSelected = 7;    // a directory file could not be selected
    static constexpr int cStatusNotRead = 8;        // a directory file could not be read
    static constexpr std::size_t cMaxFileLength = 10000;
    static constexpr std::size_t cMaxPathLength = 49;

    // The path of its file that the PIN object made for a PIN path reports
    // (upper-case hex). The PIN objects set it; until then card type 7
    // decides its flag on the rewritten path alone.
    using PinObjectPath = std::function<std::string(const std::string& pinPath)>;

    // Reads the application's directory through `card`, which must outlive
    // this object; `status` tells the outcome.
    explicit CPkcs15(CSC_Profile_Base& card);
    virtual ~CPkcs15() = default;
    CPkcs15(const CPkcs15&) = delete;
    CPkcs15& operator=(const CPkcs15&) = delete;

    void setPinObjectPath(PinObjectPath query) { m_pinObjectPath = std::move(query); }

    // Reads the CDFs ([4], then [6], then [5]), the AODFs ([8]) and the
    // PrKDFs ([0]), then the exported certificates.
    void readObjects();

    int status() const { return m_status; }
    bool builtInDirectory() const { return m_builtInDirectory; }
    const CPkcs15EfDir& efDir() const { return m_efDir; }
    const CPkcs15DfOdf& odf() const { return m_odf; }
    const CPkcs15DfTi& tokenInfo() const { return m_tokenInfo; }

    // The lists, 0-based; null beyond the end.
    std::size_t certCount() const { return m_certs.size(); }
    const CPkcs15Cert* cert(std::size_t index) const { return itemOf(m_certs, index); }
    std::size_t prKeyCount() const { return m_prKeys.size(); }
    const CPkcs15PrKey* prKey(std::size_t index) const { return itemOf(m_prKeys, index); }
    std::size_t authCount() const { return m_auths.size(); }
    const CPkcs15Auth* auth(std::size_t index) const { return itemOf(m_auths, index); }
    std::size_t exportCertCount() const { return m_exportCerts.size(); }
    const CPkcs15ExportCert* exportCert(std::size_t index) const { return itemOf(m_exportCerts, index); }

private:
    template <class Item>
    static const Item* itemOf(const std::vector<Item>& list, std::size_t index) {
        return index < list.size() ? &list[index] : nullptr;
    }

    // Constructor steps.
    bool readApplication();
    bool useBuiltInDirectory();
    bool readApplicationFile(const char* fid, std::vector<std::uint8_t>& data);
    bool readsRelative() const;

    // readObjects steps.
    void readDirectoryFile(int kind, const std::string& path);
    void exportCertificates();
    void matchKeyAndPin(const CPkcs15Cert& cert, CPkcs15ExportCert& out) const;
    void adjustPaths(CPkcs15ExportCert& out) const;

    // Card access with the bounds above.
    static bool fitsPathBuffer(const std::string& path);
    bool selectAbsolute(const std::string& path);
    bool selectRelative(const std::string& fid);
    bool readSelected(std::vector<std::uint8_t>& data);

    int m_status = cStatusOk;
    bool m_builtInDirectory = false;
    CPkcs15EfDir m_efDir;
    CPkcs15DfOdf m_odf;
    CPkcs15DfTi m_tokenInfo;
    std::vector<CPkcs15Cert> m_certs;
    std::vector<CPkcs15PrKey> m_prKeys;
    std::vector<CPkcs15Auth> m_auths;
    std::vector<CPkcs15ExportCert> m_exportCerts;
    CSC_Profile_Base& m_card;
    PinObjectPath m_pinObjectPath;
};
