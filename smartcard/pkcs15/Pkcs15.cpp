#include "smartcard/pkcs15/Pkcs15.h"

#include "asn1/Asn1Der.h"
#include "smartcard/base/CardNumbers.h"
#include "smartcard/base/CardResult.h"
#include "smartcard/base/SC_Profile_Base.h"
#include "smartcard/transport/CardTrace.h"

#include <algorithm>
#include <iterator>

namespace {

using kivo::CardTrace;
using Bytes = std::vector<std::uint8_t>;
namespace cardType = kivo::card::type;

constexpr const char* kEfDirPath = "3f002f00";
// The first file of the card types that read their directory relative to
// the DF it lies in.
constexpr const char* kRelativeStartPath = "3f0001045032";
constexpr const char* kOdfIn5015 = "3f0050155031";
constexpr const char* kMf = "3f00";
constexpr const char* kOdfFid = "5031";
constexpr const char* kTokenInfoFid = "5032";
// Where a certificate path that does not start at the MF lies.
constexpr const char* kApplicationDf = "3f005015";
constexpr const char* kDefaultPinPath = "3f0050154407";
// Card type 7: the application DF as PIN path stands for its PIN file;
// a PIN object whose file is this path gets the SetCos PIN layout flag.
constexpr const char* kSetCosPinFilePath = "3f0050155b005b01";
constexpr const char* kSetCosPinObjectPath = "3F0050155016";
// Card type 10: the key file named without the MF.
constexpr const char* kSetCos442KeyPathFromMf = "3f004b01";

// EF.DIR records for a card without a readable EF.DIR: the PKCS#15
// application in DF 5015, or in the MF.
constexpr std::uint8_t kBuiltInDirIn5015[] = {0x61, 0x14, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x00, 0x63, 0x50, 0x4B,
                                              0x43, 0x53, 0x2D, 0x31, 0x35, 0x51, 0x04, 0x3F, 0x00, 0x50, 0x15};
constexpr std::uint8_t kBuiltInDirInMf[] = {0x61, 0x12, 0x4F, 0x0C, 0xA0, 0x00, 0x00, 0x00, 0x63, 0x50,
                                            0x4B, 0x43, 0x53, 0x2D, 0x31, 0x35, 0x51, 0x02, 0x3F, 0x00};

// The directory kinds readObjects reads, in this order.
constexpr int kReadOrder[] = {CPkcs15DfOdf::cCertificates, CPkcs15DfOdf::cUsefulCertificates,
                              CPkcs15DfOdf::cTrustedCertificates, CPkcs15DfOdf::cAuthObjects,
                              CPkcs15DfOdf::cPrivateKeys};

bool startsAtMf(const std::string& path) { return path.rfind("3f00", 0) == 0 || path.rfind("3F00", 0) == 0; }

// `path` in lower or upper case.
bool isPath(const std::string& path, const std::string& lower) {
    std::string upper = lower;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
    return path == lower || path == upper;
}

template <class Item>
void append(std::vector<Item>& list, std::vector<Item> items) {
    list.insert(list.end(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
}

template <class Item, class Key>
const Item* findBy(const std::vector<Item>& list, const std::string& wanted, Key key) {
    if (wanted.empty()) return nullptr;
    const auto found = std::find_if(list.begin(), list.end(), [&](const Item& item) { return key(item) == wanted; });
    return found == list.end() ? nullptr : &*found;
}

// The certificate's DER: the file's first element, or the whole file when
// it does not start with a well-formed one (files are often larger than
// the certificate they hold).
Bytes certificateDer(const Bytes& file) {
    const std::uint32_t size = kivo::asn1::elementSize(file.data(), file.size());
    return size == 0 ? file : Bytes(file.begin(), file.begin() + size);
}

}  // namespace

CPkcs15::CPkcs15(CSC_Profile_Base& card) : m_card(card) {
    Bytes data;
    if (!readApplication() || !readApplicationFile(kOdfFid, data)) {
        CardTrace::write(CardTrace::cLevelInfo, "no PKCS#15 directory found\n");
        m_status = cStatusNoDirectory;
        return;
    }
    m_odf = CPkcs15DfOdf(data.data(), data.size());
    if (!readApplicationFile(kTokenInfoFid, data)) data.clear();
    m_tokenInfo = CPkcs15DfTi(data.data(), data.size());
}

bool CPkcs15::readsRelative() const {
    const std::int32_t type = m_card.CardType();
    return type == cardType::cCardOs54 || type == cardType::cCardOs60 || type == cardType::cStarCos37DTrust;
}

// EF.DIR, or for the relative card types their first file; without either,
// the built-in record.
bool CPkcs15::readApplication() {
    if (!selectAbsolute(readsRelative() ? kRelativeStartPath : kEfDirPath)) return useBuiltInDirectory();
    Bytes data;
    if (!readSelected(data)) return false;
    if (readsRelative()) return true;
    m_efDir = CPkcs15EfDir(data.data(), data.size());
    return m_efDir.error() == 0;
}

bool CPkcs15::useBuiltInDirectory() {
    if (selectAbsolute(kOdfIn5015)) {
        CardTrace::write(CardTrace::cLevelInfo, "no EF.DIR: PKCS#15 application in DF 5015\n");
        m_efDir = CPkcs15EfDir(kBuiltInDirIn5015, sizeof kBuiltInDirIn5015);
        return true;
    }
    if (selectAbsolute(kMf)) {
        CardTrace::write(CardTrace::cLevelInfo, "no EF.DIR: PKCS#15 application in the MF\n");
        m_efDir = CPkcs15EfDir(kBuiltInDirInMf, sizeof kBuiltInDirInMf);
        m_builtInDirectory = true;
        return true;
    }
    return false;
}

// A file of the application DF by its identifier: below the application's
// path, or in the current DF for the relative card types.
bool CPkcs15::readApplicationFile(const char* fid, Bytes& data) {
    const bool selected = readsRelative() ? selectRelative(fid) : selectAbsolute(m_efDir.path() + fid);
    return selected && readSelected(data);
}

void CPkcs15::readObjects() {
    m_certs.clear();
    m_prKeys.clear();
    m_auths.clear();
    for (const int kind : kReadOrder) {
        for (std::size_t i = 0; i < m_odf.pathCount(kind); ++i) readDirectoryFile(kind, m_odf.path(kind, i));
    }
    exportCertificates();
}

void CPkcs15::readDirectoryFile(int kind, const std::string& path) {
    if (!selectAbsolute(path)) {
        CardTrace::write(CardTrace::cLevelInfo, "directory file %s cannot be selected\n", path.c_str());
        m_status = cStatusNotSelected;
        return;
    }
    Bytes data;
    if (!readSelected(data)) {
        CardTrace::write(CardTrace::cLevelInfo, "directory file %s cannot be read\n", path.c_str());
        m_status = cStatusNotRead;
        return;
    }
    if (kind == CPkcs15DfOdf::cPrivateKeys) {
        append(m_prKeys, CPkcs15PrKey::readDirectory(data.data(), data.size()));
    } else if (kind == CPkcs15DfOdf::cAuthObjects) {
        append(m_auths, CPkcs15Auth::readDirectory(data.data(), data.size()));
    } else {
        append(m_certs, CPkcs15Cert::readDirectory(data.data(), data.size()));
    }
}

void CPkcs15::exportCertificates() {
    m_exportCerts.clear();
    for (const CPkcs15Cert& cert : m_certs) {
        CPkcs15ExportCert out;
        out.label = cert.label();
        out.id = cert.id();
        matchKeyAndPin(cert, out);
        adjustPaths(out);
        out.certPath = startsAtMf(cert.path()) ? cert.path() : kApplicationDf + cert.path();
        Bytes data;
        if (!selectAbsolute(out.certPath) || !readSelected(data)) {
            CardTrace::write(CardTrace::cLevelInfo, "certificate file %s cannot be read\n", out.certPath.c_str());
            continue;
        }
        out.der = certificateDer(data);
        m_exportCerts.push_back(std::move(out));
    }
}

void CPkcs15::matchKeyAndPin(const CPkcs15Cert& cert, CPkcs15ExportCert& out) const {
    const CPkcs15PrKey* key = findBy(m_prKeys, cert.id(), [](const CPkcs15PrKey& k) { return k.id(); });
    if (key == nullptr) return;
    out.hasKey = true;
    out.keyPath = key->path();
    out.keyReference = key->keyReference();
    out.modulusLength = key->modulusLength();
    const CPkcs15Auth* pin = findBy(m_auths, key->authId(), [](const CPkcs15Auth& a) { return a.authId(); });
    if (pin == nullptr) return;
    out.hasPin = true;
    out.pinPath = pin->path();
    out.pinReference = pin->info().pin().pinReference();
    out.pinLabel = pin->label();
}

void CPkcs15::adjustPaths(CPkcs15ExportCert& out) const {
    out.pinPathIsFolder = !out.pinPath.empty();
    if (out.pinPath.empty()) out.pinPath = kDefaultPinPath;
    CardTrace::write(CardTrace::cLevelInfo, "original keyPath : %s\n", out.keyPath.c_str());
    CardTrace::write(CardTrace::cLevelInfo, "original pinPath : %s\n", out.pinPath.c_str());
    const std::int32_t type = m_card.CardType();
    if (type == cardType::cSetCos) {
        const bool rewritten = isPath(out.pinPath, kApplicationDf);
        if (rewritten) out.pinPath = kSetCosPinFilePath;
        out.pinPathIsFolder = out.pinPathIsFolder && !rewritten;
        out.setCosPinLayout = rewritten || (m_pinObjectPath && m_pinObjectPath(out.pinPath) == kSetCosPinObjectPath);
    }
    if (type == cardType::cSetCos442 && isPath(out.keyPath, "4b01")) out.keyPath = kSetCos442KeyPathFromMf;
    CardTrace::write(CardTrace::cLevelInfo, "modified keyPath : %s\n", out.keyPath.c_str());
    CardTrace::write(CardTrace::cLevelInfo, "modified pinPath : %s\n", out.pinPath.c_str());
}

bool CPkcs15::fitsPathBuffer(const std::string& path) {
    if (path.size() <= cMaxPathLength) return true;
    CardTrace::write(CardTrace::cLevelInfo, "path of %zu characters refused (at most %zu): %.*s...\n",
                     path.size(), cMaxPathLength, static_cast<int>(cMaxPathLength), path.c_str());
    return false;
}

bool CPkcs15::selectAbsolute(const std::string& path) {
    return fitsPathBuffer(path) && m_card.SelectPath(path, true, true, false, false) == kivo::card::cOk;
}

bool CPkcs15::selectRelative(const std::string& fid) {
    return fitsPathBuffer(fid) && m_card.SelectPath(fid, false, false, false, false) == kivo::card::cOk;
}

// The selected file whole: transparent, or record by record when the card
// says it is record-structured.
bool CPkcs15::readSelected(Bytes& data) {
    CardResult result = m_card.ReadFile(data);
    if (result == kivo::card::cIncompatibleFile) result = m_card.ReadAllRecords(data);
    if (result != kivo::card::cOk) return false;
    if (data.size() <= cMaxFileLength) return true;
    CardTrace::write(CardTrace::cLevelInfo, "file of %zu octets refused (at most %zu)\n", data.size(), cMaxFileLength);
    data.clear();
    return false;
}
