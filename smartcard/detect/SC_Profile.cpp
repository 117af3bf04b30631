#include "smartcard/detect/SC_Profile.h"

#include "platform/CardEvents.h"
#include "smartcard/base/CardNumbers.h"
#include "smartcard/detect/CardLayouts.h"
#include "smartcard/detect/DetectionCache.h"
#include "smartcard/pkcs15/Pkcs15.h"
#include "smartcard/transport/CardTrace.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>

using kivo::CardTrace;
namespace card = kivo::card;

namespace {

constexpr std::uintptr_t cCardWorkBegins = 0x2002;
constexpr std::uintptr_t cCardWorkEnds = 0x2003;
constexpr char kMf[] = "3f00";

constexpr char kStarCos37EcSigningCert[] = "c006";

// What the certificate of an entry tells about its key: an EC key signs
// ECDSA, and the key's size where the card did not give it.
void takeKeyFromCertificate(CSC_Profile::CertEntry& entry) {
    const unsigned char* next = entry.certificate.data();
    X509* certificate = d2i_X509(nullptr, &next, static_cast<long>(entry.certificate.size()));
    const EVP_PKEY* key = certificate != nullptr ? X509_get0_pubkey(certificate) : nullptr;
    const int bits = key != nullptr ? EVP_PKEY_get_bits(key) : 0;
    if (key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_EC) {
        entry.signatureKind = card::layout::SignatureKind::Ecdsa;
    }
    if (entry.keyBits == 0 && bits > 0) entry.keyBits = static_cast<std::uint32_t>(bits);
    X509_free(certificate);
}

}  // namespace

std::vector<std::uint8_t> kivo::card::octetsOfHex(const std::string& hex) {
    std::vector<std::uint8_t> octets;
    if (hex.size() % 2 != 0) return octets;
    for (std::size_t at = 0; at < hex.size(); at += 2) {
        const std::string pair = hex.substr(at, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) || !std::isxdigit(static_cast<unsigned char>(pair[1]))) {
            return {};
        }
        octets.push_back(static_cast<std::uint8_t>(std::stoi(pair, nullptr, 16)));
    }
    return octets;
}

std::uint32_t CSC_Profile::CertEntry::CardAlgorithm(std::uint32_t hashAlgorithm) const {
    switch (signatureKind) {
        case card::layout::SignatureKind::RsaPss: return hashAlgorithm | CSC_Profile_Base::cAlgFlagPss;
        case card::layout::SignatureKind::Ecdsa: return CSC_Profile_Base::cAlgRawHash;
        default: return hashAlgorithm;
    }
}

CSC_Profile::CSC_Profile(CSC_Profile_Base* card) : m_sc(card) {
    kivo::cardEvents().post(kivo::CardEvent{cCardWorkBegins, 0});
    if (m_sc != nullptr) {
        const std::optional<card::CardIdentity> identity = card::identityOf(*m_sc);
        if (!identity || !TakeKeptDetection(*identity)) {
            Detect();
            if (identity) KeepDetection(*identity);
        }
    }
    if (m_sc != nullptr) CardTrace::setTitle(m_sc->CardOsName());
    kivo::cardEvents().post(kivo::CardEvent{cCardWorkEnds, 0});
}

CSC_Profile::~CSC_Profile() = default;

bool CSC_Profile::TakeKeptDetection(const card::CardIdentity& identity) {
    const std::shared_ptr<const Findings> kept = card::keptDetection(*m_sc, identity);
    if (!kept) return false;
    CardTrace::write(CardTrace::cLevelInfo, "card detected before and untouched since: %s, profile %d\n",
                     m_sc->CardOsName().c_str(), static_cast<int>(kept->cardProfile));
    m_signCard = kept->signCard;
    m_cardIdTail = kept->cardIdTail;
    m_serialNumber = kept->serialNumber;
    m_cardProfile = kept->cardProfile;
    m_singleCard = kept->singleCard;
    m_keyKind = kept->keyKind;
    m_rsaKeyLength = kept->rsaKeyLength;
    m_certs = kept->certs;
    m_caCerts = kept->caCerts;
    m_pkcs15 = std::const_pointer_cast<CPkcs15>(kept->pkcs15);
    m_tokenLabel = kept->tokenLabel;
    m_certCount = static_cast<int>(m_certs.size());
    m_sc->SetCardProfile(m_cardProfile);
    const std::vector<std::uint8_t> serial = card::octetsOfHex(m_serialNumber);
    if (!serial.empty()) m_sc->SetSerialNumber(serial.data(), static_cast<std::uint32_t>(serial.size()));
    return true;
}

void CSC_Profile::KeepDetection(const card::CardIdentity& identity) const {
    auto findings = std::make_shared<Findings>();
    findings->signCard = m_signCard;
    findings->cardIdTail = m_cardIdTail;
    findings->serialNumber = m_serialNumber;
    findings->cardProfile = m_cardProfile;
    findings->singleCard = m_singleCard;
    findings->keyKind = m_keyKind;
    findings->rsaKeyLength = m_rsaKeyLength;
    findings->certs = m_certs;
    findings->caCerts = m_caCerts;
    findings->pkcs15 = m_pkcs15;
    findings->tokenLabel = m_tokenLabel;
    card::keepDetection(*m_sc, identity, std::move(findings));
}

// The check operation of each card type.
struct CheckOperation {
    std::int32_t cardType;
    bool (CSC_Profile::*check)();
};

void CSC_Profile::Detect() {
    static constexpr CheckOperation kChecks[] = {
        {card::type::cTcos20, &CSC_Profile::CheckTCOS2},
        {card::type::cTcos30, &CSC_Profile::CheckTCOS3},
        {card::type::cMicardo21, &CSC_Profile::CheckMicardo21},
        {card::type::cStarCos30, &CSC_Profile::CheckStarCos30},
        {card::type::cStarCos32, &CSC_Profile::CheckStarCos32},
        {card::type::cStarCos34, &CSC_Profile::CheckStarCos34},
        {card::type::cTcos30v2, &CSC_Profile::CheckTCOS3v2},
        {card::type::cStarCos35, &CSC_Profile::CheckStarCos35},
        {card::type::cStarCos37Dgn, &CSC_Profile::CheckStarCos37},
        {card::type::cSecCos, &CSC_Profile::CheckSecCos5x},
        {card::type::cSetCos, &CSC_Profile::CheckSetCos441},
        {card::type::cSetCos442, &CSC_Profile::CheckSetCos442},
        {card::type::cCardOs43b, &CSC_Profile::CheckCardOS43},
        {card::type::cCardOs44, &CSC_Profile::CheckCardOS44},
        {card::type::cCardOs50, &CSC_Profile::CheckCardOS50},
        {card::type::cCardOs54, &CSC_Profile::CheckCardOS54},
        {card::type::cCardOs60, &CSC_Profile::CheckCardOS60},
        {card::type::cStarCos37DTrust, &CSC_Profile::CheckStarCos37_DTRUST},
    };
    for (const CheckOperation& operation : kChecks) {
        if (operation.cardType == m_sc->CardType()) (this->*operation.check)();
    }
    m_certCount = static_cast<int>(m_certs.size());
}

std::vector<const CSC_Profile::CertEntry*> CSC_Profile::AllCertificates() {
    std::vector<const CertEntry*> all;
    for (const CertEntry* entry : UserCertificates()) all.push_back(entry);
    for (const CertEntry& entry : m_certs) {
        if (entry.keyPath.empty()) all.push_back(&entry);
    }
    for (const CertEntry& entry : m_caCerts) all.push_back(&entry);
    return all;
}

std::vector<CSC_Profile::CertEntry*> CSC_Profile::UserCertificates() {
    std::vector<CertEntry*> users;
    for (CertEntry& entry : m_certs) {
        if (!entry.keyPath.empty()) users.push_back(&entry);
    }
    return users;
}

bool CSC_Profile::CheckCert(const std::string& path, std::vector<std::uint8_t>* der) {
    bool valid = false;
    CSC_Profile_Base::Bytes content;
    if (m_sc->SelectPath(path) != card::cOk) {
        CardTrace::write(CardTrace::cLevelInfo, "Error : invalid cert path not found\n");
    } else if (m_sc->ReadFile(content) != card::cOk) {
        CardTrace::write(CardTrace::cLevelInfo, "Error : invalid cert error while reading\n");
    } else {
        valid = TakeCertificate(content, der);
    }
    m_sc->SelectPath(kMf);
    return valid;
}

// Whether `content` starts with a certificate OpenSSL parses; `der` (when
// given) gets the certificate alone, without what follows it in the file.
bool CSC_Profile::TakeCertificate(const std::vector<std::uint8_t>& content, std::vector<std::uint8_t>* der) {
    const unsigned char* next = content.data();
    X509* certificate = d2i_X509(nullptr, &next, static_cast<long>(content.size()));
    const bool valid = certificate != nullptr;
    X509_free(certificate);
    ERR_clear_error();
    CardTrace::write(CardTrace::cLevelInfo, valid ? "Vailid Cert\n" : "Error : invalid cert error parsing asn1\n");
    if (valid && der != nullptr) der->assign(content.data(), next);
    return valid;
}

bool CSC_Profile::SelectApplication(const char* aid) {
    return aid == nullptr || m_sc->SelectPath(aid, true, false, false, true) == card::cOk;
}

bool CSC_Profile::SelectEntryApplication(const CertEntry& entry) {
    return SelectApplication(entry.application.empty() ? nullptr : entry.application.c_str());
}

bool CSC_Profile::AddCertificate(const card::layout::File& file) {
    CertEntry entry;
    entry.label = file.label;
    entry.certPath = file.path;
    entry.application = file.application != nullptr ? file.application : "";
    if (!file.ca) {
        entry.keyPath = file.keyPath != nullptr ? file.keyPath : file.path;
        entry.pinPath = file.pinPath != nullptr ? file.pinPath : file.path;
        entry.keyReference = file.keyReference;
        entry.pinReference = file.pin.reference;
        entry.pinName = file.pin.name;
        entry.signatureKind = file.signatureKind;
    }
    if (!SelectApplication(file.application) || !CheckCert(file.path, &entry.certificate)) return false;
    takeKeyFromCertificate(entry);
    if (!file.ca) TakeKeyFromPkcs15(entry);
    (file.ca ? m_caCerts : m_certs).push_back(std::move(entry));
    return true;
}

// A card that also describes its keys in PKCS#15 objects knows them better
// than a product list: the key and PIN references (and paths, and the PIN's
// name) of the PrKDF and AODF entries that go with the same certificate.
void CSC_Profile::TakeKeyFromPkcs15(CertEntry& entry) const {
    if (!m_pkcs15) return;
    for (std::size_t i = 0; i < m_pkcs15->exportCertCount(); ++i) {
        const CPkcs15ExportCert& exported = *m_pkcs15->exportCert(i);
        const bool same = exported.der.size() >= entry.certificate.size() &&
                          std::equal(entry.certificate.begin(), entry.certificate.end(), exported.der.begin());
        if (!exported.hasKey || !same) continue;
        entry.keyReference = static_cast<std::uint8_t>(exported.keyReference);
        if (!exported.keyPath.empty()) entry.keyPath = exported.keyPath;
        if (exported.modulusLength != 0) entry.keyBits = exported.modulusLength;
        if (!exported.hasPin) return;
        entry.pinReference = static_cast<std::uint8_t>(exported.pinReference);
        entry.pinPath = exported.pinPath;
        entry.pinPathIsFolder = exported.pinPathIsFolder;
        entry.pinName = card::layout::pinNameOf(exported.pinLabel, exported.label);
        return;
    }
}

bool CSC_Profile::AddLayout(std::span<const card::layout::File> files) {
    bool added = false;
    for (const card::layout::File& file : files) added = AddCertificate(file) || added;
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

bool CSC_Profile::AddFixedLayout() {
    for (const card::layout::Product& product : card::layout::products()) {
        if (product.cardType != m_sc->CardType()) continue;
        bool present = true;
        for (const char* required : product.required) present = present && (required == nullptr || CheckCert(required));
        if (present && AddLayout(product.files)) {
            SetProduct(product.profile, product.logName);
            return true;
        }
    }
    return false;
}

bool CSC_Profile::CheckFixedLayout(const char* operation) {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile::%s\n", operation);
    ReadSerialNumber();
    const bool found = AddFixedLayout();
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile::%s\n", operation);
    return found;
}

// The TCOS 2.0 products are multi-signature cards. Every other card keeps
// the single-card flag unless its product says otherwise: a card wrongly
// taken for a single-signature card asks for its PIN once too often, one
// wrongly taken for a multi-signature card would sign again without it.
bool CSC_Profile::CheckTCOS2() {
    m_singleCard = 0;
    return CheckFixedLayout("CheckTCOS2");
}
bool CSC_Profile::CheckTCOS3() { return CheckFixedLayout("CheckTCOS3"); }
bool CSC_Profile::CheckMicardo21() { return CheckFixedLayout("CheckMicardo21"); }
bool CSC_Profile::CheckStarCos30() { return CheckFixedLayout("CheckStarCos30"); }
bool CSC_Profile::CheckStarCos32() { return CheckFixedLayout("CheckStarCos32"); }
bool CSC_Profile::CheckStarCos34() { return CheckFixedLayout("CheckStarCos34"); }
bool CSC_Profile::CheckStarCos35() { return CheckFixedLayout("CheckStarCos35"); }

bool CSC_Profile::CheckTCOS3v2() {
    CardTrace::write(CardTrace::cLevelInfo, "CSC_Profile::CheckTCOS3v2: CheckCert(3f00df01c001) EF.C.ICC.QES\n");
    return CheckFixedLayout("CheckTCOS3v2");
}

// Key kind EC when the signing certificate found is the ECDSA one: the
// card's key then is an EC key, and an RSA signing certificate keeps RSA.
bool CSC_Profile::CheckStarCos37() {
    const bool found = CheckFixedLayout("CheckStarCos37");
    for (const CertEntry& entry : m_certs) {
        if (entry.certPath == kStarCos37EcSigningCert) m_keyKind = cKeyKindEc;
    }
    return found;
}

bool CSC_Profile::ReadPkcs15() {
    m_pkcs15 = std::make_shared<CPkcs15>(*m_sc);
    if (m_pkcs15->status() != CPkcs15::cStatusOk) return false;
    m_pkcs15->readObjects();
    m_tokenLabel = m_pkcs15->tokenInfo().label();
    return true;
}

void CSC_Profile::AddPkcs15Entries() {
    for (std::size_t i = 0; i < m_pkcs15->exportCertCount(); ++i) {
        const CPkcs15ExportCert& exported = *m_pkcs15->exportCert(i);
        CertEntry entry;
        entry.label = exported.label;
        entry.certPath = exported.certPath;
        entry.keyPath = exported.hasKey ? exported.keyPath : std::string();
        entry.pinPath = exported.pinPath;
        entry.pinPathIsFolder = exported.pinPathIsFolder;
        // A PKCS#15 certificate counts as a layout file does: parsable,
        // and trimmed to the certificate.
        if (!TakeCertificate(exported.der, &entry.certificate)) continue;
        entry.id = exported.id;
        entry.keyReference = static_cast<std::uint8_t>(exported.keyReference);
        entry.pinReference = static_cast<std::uint8_t>(exported.pinReference);
        entry.pinName = card::layout::pinNameOf(exported.pinLabel, exported.label);
        entry.keyBits = exported.modulusLength;
        takeKeyFromCertificate(entry);
        (exported.hasKey ? m_certs : m_caCerts).push_back(std::move(entry));
    }
}

bool CSC_Profile::CheckPKCS15() {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile::CheckPKCS15\n");
    ReadSerialNumber();
    if (ReadPkcs15()) AddPkcs15Entries();
    if (!m_certs.empty()) SetProduct(card::product::cPkcs15, "CP_PKCS15");
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile::CheckPKCS15\n");
    return !m_certs.empty();
}

bool CSC_Profile::CheckSecCos5x() { return CheckPKCS15(); }
bool CSC_Profile::CheckSetCos441() { return CheckPKCS15(); }
bool CSC_Profile::CheckSetCos442() { return CheckPKCS15(); }

bool CSC_Profile::SetProfileFromLabel(const char* setter) {
    if (setter != nullptr) {
        CardTrace::write(CardTrace::cLevelInfo, "%s.m_cardNum: %s\n", setter, m_tokenLabel.c_str());
    }
    const card::layout::LabelRule* rule = card::layout::ruleForLabel(m_sc->CardType(), m_tokenLabel);
    const std::span<const card::layout::File> files = card::layout::dTrustFiles(m_sc->CardType());
    // A label that names none of the products: not a card this library
    // serves, whatever its PKCS#15 objects hold: profile 0, no entries.
    if (rule == nullptr) {
        m_cardProfile = 0;
        m_sc->SetCardProfile(0);
        return false;
    }
    if (files.empty()) AddPkcs15Entries();
    if (rule->singleCard >= 0) m_singleCard = rule->singleCard;
    m_signCard = rule->signCard;
    m_keyKind = rule->keyKind;
    if (rule->rsaKeyLength != 0) m_rsaKeyLength = rule->rsaKeyLength;
    if (!files.empty()) AddLayout(files);
    SetProduct(rule->profile, rule->name);
    return true;
}

bool CSC_Profile::CheckLabelledCard(const char* operation, const char* setter) {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile::%s\n", operation);
    ReadSerialNumber();
    if (ReadPkcs15()) SetProfileFromLabel(setter);
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile::%s\n", operation);
    return !m_certs.empty();
}

bool CSC_Profile::CheckCardOS43() { return CheckLabelledCard("CheckCardOS43", nullptr); }
bool CSC_Profile::CheckCardOS50() { return CheckLabelledCard("CheckCardOS50", nullptr); }
bool CSC_Profile::CheckCardOS54() { return CheckLabelledCard("CheckCardOS54", nullptr); }
bool CSC_Profile::CheckCardOS60() { return CheckLabelledCard("CheckCardOS60", "SetCardOS60Profile"); }

bool CSC_Profile::CheckStarCos37_DTRUST() {
    SetProduct(card::product::cStarCos37DTrustUnlabelled, "CP_STARCOS37_DTRUST");
    return CheckLabelledCard("CheckStarCos37_DTRUST", "SetStarCos37Profile");
}

// CardOS 4.4: a product file, or the Siemens file with a Siemens label,
// before the label alone.
bool CSC_Profile::CheckCardOS44() {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile::CheckCardOS44\n");
    ReadSerialNumber();
    const bool pkcs15 = ReadPkcs15();
    const bool productFile = m_sc->SelectPath("3f00200020010001") == card::cOk;
    const bool siemens = !productFile && m_sc->SelectPath("3f0050155600") == card::cOk &&
                         m_tokenLabel.rfind("Siemens", 0) == 0;
    m_sc->SelectPath(kMf);
    if (productFile) SetProduct(card::product::cCardOs44Layout, "CP_CARDOS44");
    if (siemens) SetProduct(card::product::cCardOs44Siemens, "CP_CARDOS44_SIEMENS");
    if (pkcs15 && (productFile || siemens)) AddPkcs15Entries();
    if (pkcs15 && !productFile && !siemens) SetProfileFromLabel(nullptr);
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile::CheckCardOS44\n");
    return !m_certs.empty();
}

std::string CSC_Profile::CardLabel() const { return m_tokenLabel.empty() ? "SmartCard" : m_tokenLabel; }

bool CSC_Profile::SignsRsaPss() const {
    return m_keyKind == cKeyKindRsa && m_cardProfile >= 77 && m_cardProfile <= 81;
}

bool CSC_Profile::IsHashAllowed(int hashCode) const {
    // The card key signs SHA-1 and SHA-2 only, whatever the card: RIPEMD-160
    // and MD5 (4, 5) are refused here, where the caller learns why, rather
    // than when the signature is made.
    if (hashCode < 0 || hashCode > 3) return false;
    const std::int32_t p = m_cardProfile;
    if (m_keyKind == cKeyKindRsa) return !(p == card::product::cQuoVadis1k || SignsRsaPss()) || hashCode == 1;
    if (m_keyKind == cKeyKindEc) return !(p == 16 || p == 83 || p == 84 || p == 86) || hashCode == 1;
    return true;
}
