#include "smartcard/detect/SC_Profile.h"

#include "platform/CardEvents.h"
#include "smartcard/base/CardNumbers.h"
#include "smartcard/detect/CardLayouts.h"
#include "smartcard/transport/CardTrace.h"

#include <openssl/x509.h>

using kivo::CardTrace;
namespace card = kivo::card;

namespace {

constexpr std::uintptr_t cCardWorkBegins = 0x2002;
constexpr std::uintptr_t cCardWorkEnds = 0x2003;
constexpr char kMf[] = "3f00";

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
    };
    for (const CheckOperation& operation : kChecks) {
        if (operation.cardType == m_sc->CardType()) (this->*operation.check)();
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

bool CSC_Profile::AddCertificate(const card::layout::File& file) {
    const std::string keyAndPin = file.ca ? std::string() : folderOf(file.path);
    CertEntry entry{file.label, file.path, keyAndPin, keyAndPin,
                    file.application != nullptr ? file.application : "", {}};
    if (!SelectApplication(file.application) || !CheckCert(file.path, &entry.certificate)) return false;
    (file.ca ? m_caCerts : m_certs).push_back(std::move(entry));
    return true;
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
