// kivocrypto card dump: the PKCS#15 objects of the card in a PC/SC reader
// as the library reads them.

#include "tools/kivocrypto/card/CardCommand.h"

#include "smartcard/detect/SC_Profile.h"
#include "smartcard/pkcs15/Pkcs15.h"
#include "smartcard/transport/Reader.h"

#include <cstdio>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

namespace kivocrypto {
namespace {

// Exit codes of this subcommand besides the shared ones.
constexpr int kExitIncomplete = kExitFailure;
constexpr int kExitNoPkcs15 = 4;

void printDumpUsage(std::ostream& out) {
    out << "usage: kivocrypto card dump [--reader N]\n"
           "\n"
           "Reads the card's PKCS#15 application and prints its objects, one\n"
           "block each: a first line in the first column, then 'Name: value'\n"
           "lines indented by three spaces.\n"
           "\n"
           "Application          AID, Label, Path, and Found in: EF.DIR or\n"
           "                     built-in (the card has no EF.DIR)\n"
           "Object directory     one line per directory file the ODF names:\n"
           "                     Private keys, Public keys, Trusted public keys,\n"
           "                     Secret keys, Certificates, Trusted certificates,\n"
           "                     Useful certificates, Data objects,\n"
           "                     Authentication objects\n"
           "Token info           Version, Serial number, Manufacturer, Label,\n"
           "                     Flags (the bits as a hex number)\n"
           "Certificate N        Label, ID, Authority (yes/no), Path\n"
           "Private key N        Label, ID, Usage and Access flags (bits as\n"
           "                     hex), Key reference, Modulus length, Path,\n"
           "                     Auth ID\n"
           "PIN N                Label, Auth ID, Flags, Type, Min length,\n"
           "                     Stored length, Max length, Reference, Pad char,\n"
           "                     Path\n"
           "\n"
           "A last line 'Status: N (TEXT)' tells whether every directory file was\n"
           "read: 0 (complete), 7 (a directory file could not be selected) or\n"
           "8 (a directory file could not be read). Identifiers, paths and bit\n"
           "strings are upper-case hex; references and the pad character are\n"
           "written 0xNN.\n"
           "\n"
           "--reader N uses the reader of index N as 'kivocrypto readers' lists\n"
           "it; the default is the first reader with a card.\n"
           "\n"
           "Exit codes: 0 every object read, 1 a directory file could not be\n"
           "selected or read (what was read is printed), 2 usage error, 3 no\n"
           "PC/SC service, no reader, no card, or a card of no known type, 4 the\n"
           "card has no PKCS#15 application.\n";
}

std::string hexByte(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(value));
    return text;
}

std::string flagsHex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", static_cast<unsigned>(value));
    return text;
}

void field(const char* name, const std::string& value) { std::cout << "   " << name << ": " << value << "\n"; }

void printApplication(const CPkcs15& pkcs15) {
    const CPkcs15EfDir& application = pkcs15.efDir();
    std::cout << "Application\n";
    field("AID", application.aid());
    field("Label", application.label());
    field("Path", application.path());
    field("Found in", pkcs15.builtInDirectory() ? "built-in (the card has no EF.DIR)" : "EF.DIR");
}

void printObjectDirectory(const CPkcs15DfOdf& odf) {
    static constexpr const char* kKindNames[CPkcs15DfOdf::cKinds] = {
        "Private keys", "Public keys", "Trusted public keys", "Secret keys", "Certificates",
        "Trusted certificates", "Useful certificates", "Data objects", "Authentication objects"};
    std::cout << "Object directory\n";
    for (int kind = 0; kind < CPkcs15DfOdf::cKinds; ++kind) {
        for (std::size_t i = 0; i < odf.pathCount(kind); ++i) field(kKindNames[kind], odf.path(kind, i));
    }
}

void printTokenInfo(const CPkcs15DfTi& info) {
    std::cout << "Token info\n";
    field("Version", std::to_string(info.version()));
    field("Serial number", info.serialNumber());
    field("Manufacturer", info.manufacturerId());
    field("Label", info.label());
    field("Flags", flagsHex(info.tokenFlags()));
}

void printCertificateObject(const CPkcs15Cert& cert, std::size_t number) {
    std::cout << "Certificate " << number << "\n";
    field("Label", cert.label());
    field("ID", cert.id());
    field("Authority", cert.info().certAttrib().authority() ? "yes" : "no");
    field("Path", cert.path());
}

void printPrivateKey(const CPkcs15PrKey& key, std::size_t number) {
    std::cout << "Private key " << number << "\n";
    field("Label", key.label());
    field("ID", key.id());
    field("Usage", key.usage());
    field("Access flags", key.info().commKeyAttrib().accessFlags());
    field("Key reference", hexByte(key.keyReference()));
    field("Modulus length", std::to_string(key.modulusLength()));
    field("Path", key.path());
    field("Auth ID", key.authId());
}

std::string pinTypeText(std::uint32_t type) {
    static constexpr const char* kTypes[] = {"BCD", "ASCII numeric", "UTF-8", "half-nibble BCD", "ISO 9564-1"};
    const std::string name = type < std::size(kTypes) ? kTypes[type] : "unknown";
    return std::to_string(type) + " (" + name + ")";
}

void printPin(const CPkcs15Auth& auth, std::size_t number) {
    const CPkcs15Pin& pin = auth.info().pin();
    std::cout << "PIN " << number << "\n";
    field("Label", auth.label());
    field("Auth ID", auth.authId());
    field("Flags", flagsHex(pin.flags()));
    field("Type", pinTypeText(pin.pinType()));
    field("Min length", std::to_string(pin.minLength()));
    field("Stored length", std::to_string(pin.storedLength()));
    field("Max length", std::to_string(pin.maxLength()));
    field("Reference", hexByte(pin.pinReference()));
    field("Pad char", hexByte(pin.padChar()));
    field("Path", auth.path());
}

std::string statusText(int status) {
    if (status == CPkcs15::cStatusOk) return "0 (complete)";
    if (status == CPkcs15::cStatusNotSelected) return "7 (a directory file could not be selected)";
    if (status == CPkcs15::cStatusNotRead) return "8 (a directory file could not be read)";
    return std::to_string(status);
}

int printObjects(const CPkcs15& pkcs15) {
    printApplication(pkcs15);
    printObjectDirectory(pkcs15.odf());
    printTokenInfo(pkcs15.tokenInfo());
    for (std::size_t i = 0; i < pkcs15.certCount(); ++i) printCertificateObject(*pkcs15.cert(i), i + 1);
    for (std::size_t i = 0; i < pkcs15.prKeyCount(); ++i) printPrivateKey(*pkcs15.prKey(i), i + 1);
    for (std::size_t i = 0; i < pkcs15.authCount(); ++i) printPin(*pkcs15.auth(i), i + 1);
    std::cout << "Status: " << statusText(pkcs15.status()) << "\n" << std::flush;
    return pkcs15.status() == CPkcs15::cStatusOk ? kExitOk : kExitIncomplete;
}

}  // namespace

int runCardDump(const Arguments& arguments) {
    CardOptions options;
    ChosenReader chosen;
    if (auto exitCode = startCardSubcommand(arguments, {"card dump", printDumpUsage, false}, options, chosen)) {
        return *exitCode;
    }
    const int index = chosen.index;
    CSC_Profile* layout = detectedCard(*chosen.readers, index);
    if (layout == nullptr) return reportUnknownCard(*chosen.readers, index, "card dump");
    // Detection reads PKCS#15 only on the card types that use it; the
    // others are read here.
    std::unique_ptr<CPkcs15> ownReading;
    const CPkcs15* pkcs15 = layout->Pkcs15();
    if (pkcs15 == nullptr) {
        ownReading = std::make_unique<CPkcs15>(*layout->Card());
        if (ownReading->status() == CPkcs15::cStatusOk) ownReading->readObjects();
        pkcs15 = ownReading.get();
    }
    if (pkcs15->status() == CPkcs15::cStatusNoDirectory) {
        printError("card dump: the card in reader " + std::to_string(index) + " has no PKCS#15 application");
        return kExitNoPkcs15;
    }
    return printObjects(*pkcs15);
}

}  // namespace kivocrypto
