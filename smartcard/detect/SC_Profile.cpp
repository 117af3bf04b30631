#include "smartcard/detect/SC_Profile.h"

#include "platform/CardEvents.h"
#include "smartcard/base/CardNumbers.h"
#include "smartcard/transport/CardTrace.h"

#include <openssl/x509.h>

using kivo::CardTrace;
namespace card = kivo::card;

namespace {

constexpr std::uintptr_t cCardWorkBegins = 0x2002;
constexpr std::uintptr_t cCardWorkEnds = 0x2003;
constexpr char kMf[] = "3f00";

}  // namespace

// The certificate files of the products with a fixed file layout. Where
// the card application leaves it open, a certificate's key and PIN are
// taken to sit in the DF that holds the certificate (for the application
// cards: in the application, the path then being relative to it); CA
// certificates have neither.
struct CSC_Profile::LayoutFile {
    const char* path;
    const char* label;
    bool ca;
    const char* application;  // nullptr: the path is absolute
};

namespace {

using LayoutFile = CSC_Profile::LayoutFile;

constexpr LayoutFile kSignTrust1k[] = {
    {"3f008000df01c000", "Qualified Cert", false, nullptr},
    {"3f00800082008220", "Auth Cert", false, nullptr},
    {"3f00800083008320", "Decipher Cert", false, nullptr},
    {"3f008000df01c00e", "Root Qualified Cert", true, nullptr},
};
constexpr LayoutFile kSignDatev1k[] = {
    {"3f00df01c000", "SigG Cert", false, nullptr},
    {"3f003000c500", "Auth Cert", false, nullptr},
    {"3f00df02c200", "Datev Secure Cipher", false, nullptr},
    {"3f00df02c500", "Secure Auth Cert", false, nullptr},
    {"3f00df01c008", "SigG CA Cert", true, nullptr},
    {"3f00df01b000", "SigG Root Cert", true, nullptr},
    {"3f00df02c008", "Cipher CA Cert", true, nullptr},
};
constexpr LayoutFile kMedisign1k[] = {
    {"3f00df01c000", "SigG Cert", false, nullptr},
    {"3f00df01c00e", "SigG CA Cert", true, nullptr},
    {"3f008300c000", "Auth Cert", false, nullptr},
    {"3f008200c000", "Cipher Cert", false, nullptr},
};
// TCOS 2.0 signature cards: the qualified certificate in the signature
// application DF01, the authentication certificate in DF06 (QuoVadis keeps
// both under its own file identifiers).
constexpr LayoutFile kTelesec1k[] = {
    {"3f00df01c000", "Qualified Cert", false, nullptr},
    {"3f00df06c000", "Auth Cert", false, nullptr},
};
constexpr LayoutFile kQuoVadis1k[] = {
    {"3f00df014371", "Qualified Cert", false, nullptr},
    {"3f00df064331", "Auth Cert", false, nullptr},
};
constexpr char kAidSignature[] = "D27600006601";
constexpr char kAidEsign[] = "A000000167455349474E";
constexpr char kAidAds[] = "D2760000030102";
constexpr LayoutFile kTcos3v2[] = {
    {"3f00df01c001", "QES Cert", false, kAidEsign},
    {"3f00df02c000", "ADS Cert", false, kAidAds},
};
constexpr LayoutFile kStarCos37[] = {
    {"c000", "Signing Cert", false, kAidSignature},  // QES RSA2048 Cert
    {"c006", "Signing Cert", false, kAidSignature},  // QES ECDSA256 Cert
    {"c500", "Auth Cert", false, kAidEsign},         // Auth RSA2048 Cert
    {"c506", "Auth Cert", false, kAidEsign},         // Auth ECDSA256 Cert
};
constexpr char kStarCos37EcSigningCert[] = "c006";

// The DF of a path: the path without its last file identifier.
std::string folderOf(const std::string& path) {
    return path.size() > 4 ? path.substr(0, path.size() - 4) : std::string();
}

}  // namespace

CSC_Profile::CSC_Profile(CSC_Profile_Base* card) : m_sc(card) {
    kivo::cardEvents().post(kivo::CardEvent{cCardWorkBegins, 0});
    if (m_sc != nullptr) Detect();
    if (m_sc != nullptr) CardTrace::setTitle(m_sc->CardOsName());
    kivo::cardEvents().post(kivo::CardEvent{cCardWorkEnds, 0});
}

CSC_Profile::~CSC_Profile() = default;

void CSC_Profile::Detect() {
    switch (m_sc->CardType()) {
        case card::type::cTcos20: CheckTCOS2(); break;
        case card::type::cTcos30v2: CheckTCOS3v2(); break;
        case card::type::cStarCos37Dgn: CheckStarCos37(); break;
        default:
            CardTrace::write(CardTrace::cLevelInfo, "no product check for card type %d\n",
                             static_cast<int>(m_sc->CardType()));
            break;
    }
    m_certCount = static_cast<int>(m_certs.size());
}

bool CSC_Profile::CheckCert(const std::string& path, std::vector<std::uint8_t>* der) {
    bool valid = false;
    CSC_Profile_Base::Bytes content;
    if (m_sc->SelectPath(path) != card::cOk) {
        CardTrace::write(CardTrace::cLevelInfo, "Error : invalid cert path not found\n");
    } else if (m_sc->ReadFile(content) != card::cOk) {
        CardTrace::write(CardTrace::cLevelInfo, "Error : invalid cert error while reading\n");
    } else {
        const unsigned char* next = content.data();
        X509* certificate = d2i_X509(nullptr, &next, static_cast<long>(content.size()));
        valid = certificate != nullptr;
        X509_free(certificate);
        CardTrace::write(CardTrace::cLevelInfo,
                         valid ? "Vailid Cert\n" : "Error : invalid cert error parsing asn1\n");
        if (valid && der != nullptr) der->assign(static_cast<const unsigned char*>(content.data()), next);
    }
    m_sc->SelectPath(kMf);
    return valid;
}

bool CSC_Profile::SelectApplication(const char* aid) {
    return aid == nullptr || m_sc->SelectPath(aid, true, false, false, true) == card::cOk;
}

bool CSC_Profile::AddCertificate(const LayoutFile& file) {
    const std::string keyAndPin = file.ca ? std::string() : folderOf(file.path);
    CertEntry entry{file.label, file.path, keyAndPin, keyAndPin,
                    file.application != nullptr ? file.application : "", {}};
    if (!SelectApplication(file.application) || !CheckCert(file.path, &entry.certificate)) return false;
    (file.ca ? m_caCerts : m_certs).push_back(std::move(entry));
    return true;
}

bool CSC_Profile::AddLayout(std::span<const LayoutFile> files) {
    bool added = false;
    for (const LayoutFile& file : files) added = AddCertificate(file) || added;
    return added;
}

void CSC_Profile::ReadSerialNumber() {
    m_sc->GetSerialNumber();
    m_serialNumber = m_sc->SerialNumberText();
    m_cardIdTail = m_sc->CardIdTail();
}

void CSC_Profile::SetProduct(std::int32_t profile, const char* logName) {
    m_cardProfile = profile;
    m_sc->SetCardProfile(profile);
    CardTrace::write(CardTrace::cLevelInfo, "iType : CSC_Profile::%s\n", logName);
}

bool CSC_Profile::CheckSignTrust1k() { return AddLayout(kSignTrust1k); }
bool CSC_Profile::CheckSignDatev1k() { return AddLayout(kSignDatev1k); }
bool CSC_Profile::CheckMedisign1k() { return AddLayout(kMedisign1k); }
bool CSC_Profile::CheckTelesec1k(bool quoVadis) { return AddLayout(quoVadis ? std::span(kQuoVadis1k) : std::span(kTelesec1k)); }

bool CSC_Profile::CheckTCOS2() {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile::CheckTCOS2\n");
    ReadSerialNumber();
    m_singleCard = 0;
    if (CheckCert("3f008000df01c000") && CheckSignTrust1k()) {
        SetProduct(card::product::cSignTrust2k, "CP_SIGNTRUST2K");
    } else if (CheckCert("3f003000c500") && CheckSignDatev1k()) {
        SetProduct(card::product::cDatev, "CP_DATEV");
    } else if (CheckCert("3f008200c000") && CheckMedisign1k()) {
        SetProduct(card::product::cMedisign, "CP_TELESEC");
    } else if (CheckCert("3f00df064331") && CheckCert("3f00df014371") && CheckTelesec1k(true)) {
        SetProduct(card::product::cQuoVadis1k, "CP_QUOVADIS_1K");
    } else if ((CheckCert("3f00df06c000") || CheckCert("3f00df01c000")) && CheckTelesec1k(false)) {
        SetProduct(card::product::cTelesec, "CP_TELESEC");
    }
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile::CheckTCOS2\n");
    return !m_certs.empty() || !m_caCerts.empty();
}

bool CSC_Profile::CheckTCOS3v2() {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile::CheckTCOS3v2\n");
    ReadSerialNumber();
    CardTrace::write(CardTrace::cLevelInfo, "CSC_Profile::CheckTCOS3v2: CheckCert(3f00df01c001) EF.C.ICC.QES\n");
    if (AddLayout(kTcos3v2)) SetProduct(card::product::cTcos30v2Signature, "CP_TCOS3V2");
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile::CheckTCOS3v2\n");
    return !m_certs.empty();
}

// Key kind EC when the signing certificate found is the ECDSA one: the
// card's key then is an EC key, and an RSA signing certificate keeps RSA.
bool CSC_Profile::CheckStarCos37() {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile::CheckStarCos37\n");
    ReadSerialNumber();
    if (AddLayout(kStarCos37)) {
        SetProduct(card::product::cStarCos37Layout, "CP_STARCOS37");
        for (const CertEntry& entry : m_certs) {
            if (entry.certPath == kStarCos37EcSigningCert) m_keyKind = cKeyKindEc;
        }
    }
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile::CheckStarCos37\n");
    return !m_certs.empty();
}

std::string CSC_Profile::CardLabel() const { return m_tokenLabel.empty() ? "SmartCard" : m_tokenLabel; }

bool CSC_Profile::IsHashAllowed(int hashCode) const {
    const auto only = [hashCode](bool sha256Only) { return sha256Only ? hashCode == 1 : true; };
    const std::int32_t p = m_cardProfile;
    if (m_keyKind == cKeyKindRsa) {
        if (p == card::product::cQuoVadis1k || (p >= 77 && p <= 81)) return hashCode == 1;
        return hashCode >= 0 && hashCode <= 3;
    }
    if (m_keyKind == cKeyKindEc) return only(p == 16 || p == 83 || p == 84 || p == 86);
    return true;
}
