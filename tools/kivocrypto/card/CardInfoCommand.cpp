// kivocrypto card info and card certificates: what card detection found on
// the card of a PC/SC reader, and the certificates it read there.

#include "tools/kivocrypto/card/CardCommand.h"

#include "tools/kivocrypto/OpenSslText.h"
#include "tools/kivocrypto/OutputFile.h"

#include "smartcard/detect/SC_Profile.h"
#include "smartcard/pkcs15/Pkcs15.h"
#include "smartcard/transport/Reader.h"

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cctype>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace kivocrypto {
namespace {

void printInfoUsage(std::ostream& out) {
    out << "usage: kivocrypto card info [--reader N]\n"
           "\n"
           "Detects the card in the reader and prints one 'Name: value' line\n"
           "each, always these and in this order:\n"
           "\n"
           "Reader: Virtual PCD 00 01\n"
           "ATR: 3B:9F:00:80:1F:C3:00:68:10:44:05:01:46:49:53:45:31:C8:00:90:00:00\n"
           "Card type: 7 (Setcos)\n"
           "Card profile: 9\n"
           "Serial number: 12345678901234567890\n"
           "Label: Kivo signature card\n"
           "PKCS#15: yes\n"
           "Key kind: RSA\n"
           "RSA key length: unknown\n"
           "Hashes: SHA-1, SHA-256, SHA-384, SHA-512\n"
           "Single signature: yes\n"
           "Certificates: 1 user, 1 CA\n"
           "PIN pad: no\n"
           "\n"
           "Card type is the number and operating system the ATR names; for a\n"
           "card of no known type the output ends with 'Card type: unknown'\n"
           "(exit code 3). Card profile is the product detection recognised, 0\n"
           "for none. Serial number is 'unknown' when the card gave none; Label\n"
           "is the PKCS#15 token label, 'SmartCard' without one; PKCS#15 is\n"
           "'yes' when the card's PKCS#15 directory was read. Key kind is RSA\n"
           "or EC; RSA key length is given in bits where the product fixes it,\n"
           "'unknown' otherwise. Hashes lists those the card may sign ('none'\n"
           "when it may sign none). Single signature 'yes' means the PIN is\n"
           "asked for again for every signature. Certificates counts the user\n"
           "and CA certificates found ('kivocrypto card certificates' lists\n"
           "them). PIN pad is 'yes' or 'no' as the reader reports it.\n"
           "\n"
           "--reader N uses the reader of index N as 'kivocrypto readers' lists\n"
           "it; the default is the first reader with a card.\n"
           "\n"
           "Exit codes: 0 card detected, 2 usage error, 3 no PC/SC service, no\n"
           "reader, no card, or a card of no known type.\n";
}

void printCertificatesUsage(std::ostream& out) {
    out << "usage: kivocrypto card certificates [--reader N] [--out DIR] [--pem]\n"
           "\n"
           "Lists the certificates card detection found: the user certificates,\n"
           "then the CA certificates, one block each, numbered from 1:\n"
           "\n"
           "Certificate 1\n"
           "   Label: Signature certificate\n"
           "   Subject: CN=Jane Doe,O=Example\n"
           "   Issuer: CN=Example CA,O=Example\n"
           "   Serial: 1A2B3C\n"
           "   Not before: 2025-01-01 00:00:00 UTC\n"
           "   Not after: 2027-01-01 00:00:00 UTC\n"
           "   Certificate path: 3F0050154331\n"
           "   Key path: 3F0050154B01\n"
           "   PIN path: 3F005015\n"
           "   Written: DIR/1-Signature_certificate.der\n"
           "CA certificate 2\n"
           "   ...\n"
           "\n"
           "The block's first line starts in the first column, the others are\n"
           "indented by three spaces. Subject, issuer (RFC 2253), serial (hex)\n"
           "and validity are OpenSSL's reading of the certificate; one it cannot\n"
           "read shows 'Certificate: not readable (REASON)' in their place. Key\n"
           "path, PIN path and Application (the AID selected before the paths)\n"
           "appear only when the entry has one, Written only with --out. A card\n"
           "without certificates prints 'No certificates found.'.\n"
           "\n"
           "--out DIR writes each certificate, as the card holds it, to DIR as\n"
           "INDEX-LABEL.der (characters other than letters, digits, '.', '-'\n"
           "and '_' in the label become '_'), replacing a file of that name.\n"
           "--pem writes INDEX-LABEL.pem in PEM instead.\n"
           "--reader N uses the reader of index N as 'kivocrypto readers' lists\n"
           "it; the default is the first reader with a card.\n"
           "\n"
           "Exit codes: 0 listed (and written), 1 a file could not be written, 2\n"
           "usage error (also: --out that is no directory), 3 no PC/SC service,\n"
           "no reader, no card, or a card of no known type.\n";
}

constexpr std::size_t kMaxLabelInFileName = 64;

struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string keyKindText(int kind) {
    if (kind == CSC_Profile::cKeyKindRsa) return "RSA";
    if (kind == CSC_Profile::cKeyKindEc) return "EC";
    return "unknown (" + std::to_string(kind) + ")";
}

// The hashes the card may sign, by their codes 0 to 3.
std::string admissibleHashes(const CSC_Profile& layout) {
    static constexpr const char* kHashNames[] = {"SHA-1", "SHA-256", "SHA-384", "SHA-512"};
    std::string text;
    for (int code = 0; code < 4; ++code) {
        if (layout.IsHashAllowed(code)) text += (text.empty() ? "" : ", ") + std::string(kHashNames[code]);
    }
    return text.empty() ? "none" : text;
}

bool hasPkcs15(const CSC_Profile& layout) {
    return layout.Pkcs15() != nullptr && layout.Pkcs15()->status() == CPkcs15::cStatusOk;
}

void printLine(const char* name, const std::string& value) { std::cout << name << ": " << value << "\n"; }

void printDetected(const CSC_Profile& layout) {
    const CSC_Profile_Base& card = *layout.Card();
    printLine("Card type", std::to_string(card.CardType()) + " (" + card.CardOsName() + ")");
    printLine("Card profile", std::to_string(layout.CardProfile()));
    printLine("Serial number", layout.SerialNumber().empty() ? "unknown" : layout.SerialNumber());
    printLine("Label", layout.CardLabel());
    printLine("PKCS#15", hasPkcs15(layout) ? "yes" : "no");
    printLine("Key kind", keyKindText(layout.KeyKind()));
    printLine("RSA key length",
              layout.RsaKeyLength() > 0 ? std::to_string(layout.RsaKeyLength()) + " bits" : "unknown");
    printLine("Hashes", admissibleHashes(layout));
    printLine("Single signature", layout.SingleCard() == 1 ? "yes" : "no");
    printLine("Certificates", std::to_string(layout.Certificates().size()) + " user, " +
                                  std::to_string(layout.CaCertificates().size()) + " CA");
}

// ---- certificates -----------------------------------------------------------

// The label as a file name part: letters, digits, '.', '-' and '_' kept,
// every other byte '_'; "certificate" for an empty label.
std::string fileNamePart(const std::string& label) {
    std::string part;
    for (const char c : label.substr(0, kMaxLabelInFileName)) {
        const bool kept = std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_';
        part += kept ? c : '_';
    }
    return part.empty() ? "certificate" : part;
}

// The certificate in PEM; empty when it cannot be encoded.
std::string pemOf(const std::vector<std::uint8_t>& der) {
    std::unique_ptr<BIO, BioFree> out(BIO_new(BIO_s_mem()));
    if (out == nullptr ||
        PEM_write_bio(out.get(), "CERTIFICATE", "", der.data(), static_cast<long>(der.size())) <= 0) {
        return {};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(out.get(), &data);
    return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

// Writes the certificate of the numbered entry to the folder; the path
// written, or empty (reported) on failure.
std::string writeCertificate(const CSC_Profile::CertEntry& entry, std::size_t number,
                             const CardOptions& options) {
    const std::string name = std::to_string(number) + "-" + fileNamePart(entry.label) + (options.pem ? ".pem" : ".der");
    const std::string path = (std::filesystem::path(options.outDirectory) / name).string();
    const std::string pem = options.pem ? pemOf(entry.certificate) : std::string();
    const auto* data = options.pem ? reinterpret_cast<const unsigned char*>(pem.data()) : entry.certificate.data();
    const std::size_t size = options.pem ? pem.size() : entry.certificate.size();
    std::string error = options.pem && pem.empty() ? "cannot encode certificate " + std::to_string(number) + " in PEM" : "";
    if (error.empty() && replaceFile(path, data, size, error)) return path;
    printError("card certificates: " + error);
    return {};
}

void printOpenSslReading(const std::vector<std::uint8_t>& der) {
    const unsigned char* cursor = der.data();
    const X509Ptr certificate(d2i_X509(nullptr, &cursor, static_cast<long>(der.size())));
    if (certificate == nullptr) {
        std::cout << "   Certificate: not readable (" << takeOpenSslReason() << ")\n";
        return;
    }
    std::cout << "   Subject: " << nameText(X509_get_subject_name(certificate.get())) << "\n"
              << "   Issuer: " << nameText(X509_get_issuer_name(certificate.get())) << "\n"
              << "   Serial: " << integerHex(X509_get0_serialNumber(certificate.get())) << "\n"
              << "   Not before: " << formatAsn1Time(X509_get0_notBefore(certificate.get())) << "\n"
              << "   Not after: " << formatAsn1Time(X509_get0_notAfter(certificate.get())) << "\n";
}

void printOptionalLine(const char* name, const std::string& value) {
    if (!value.empty()) std::cout << "   " << name << ": " << value << "\n";
}

// One entry's block; false when its file could not be written.
bool listCertificate(const CSC_Profile::CertEntry& entry, std::size_t number, bool authority,
                     const CardOptions& options) {
    std::cout << (authority ? "CA certificate " : "Certificate ") << number << "\n"
              << "   Label: " << entry.label << "\n";
    printOpenSslReading(entry.certificate);
    printOptionalLine("Certificate path", entry.certPath);
    printOptionalLine("Key path", entry.keyPath);
    printOptionalLine("PIN path", entry.pinPath);
    printOptionalLine("Application", entry.application);
    if (options.outDirectory.empty()) return true;
    const std::string written = writeCertificate(entry, number, options);
    printOptionalLine("Written", written);
    return !written.empty();
}

int listCertificates(const CSC_Profile& layout, const CardOptions& options) {
    std::size_t number = 0;
    for (const auto* list : {&layout.Certificates(), &layout.CaCertificates()}) {
        const bool authority = list == &layout.CaCertificates();
        for (const CSC_Profile::CertEntry& entry : *list) {
            if (listCertificate(entry, ++number, authority, options)) continue;
            std::cout << std::flush;
            return kExitFailure;
        }
    }
    if (number == 0) std::cout << "No certificates found.\n";
    std::cout << std::flush;
    return kExitOk;
}

}  // namespace

int runCardInfo(const Arguments& arguments) {
    CardOptions options;
    ChosenReader chosen;
    if (auto exitCode = startCardSubcommand(arguments, {"card info", printInfoUsage, false}, options, chosen)) {
        return *exitCode;
    }
    CReader& readers = *chosen.readers;
    const int index = chosen.index;
    printLine("Reader", readers.GetReaderName(index));
    printLine("ATR", readers.GetATRText(index));
    const CSC_Profile* layout = detectedCard(readers, index);
    if (layout == nullptr) {
        printLine("Card type", "unknown");
        std::cout << std::flush;
        return reportUnknownCard(readers, index, "card info");
    }
    printDetected(*layout);
    printLine("PIN pad", readers.IsPinPadReader(index) ? "yes" : "no");
    std::cout << std::flush;
    return kExitOk;
}

int runCardCertificates(const Arguments& arguments) {
    CardOptions options;
    ChosenReader chosen;
    const CardSubcommand subcommand{"card certificates", printCertificatesUsage, true};
    if (auto exitCode = startCardSubcommand(arguments, subcommand, options, chosen)) return *exitCode;
    const CSC_Profile* layout = detectedCard(*chosen.readers, chosen.index);
    if (layout == nullptr) return reportUnknownCard(*chosen.readers, chosen.index, subcommand.name);
    return listCertificates(*layout, options);
}

}  // namespace kivocrypto
