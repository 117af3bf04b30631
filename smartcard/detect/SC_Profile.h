// CSC_Profile: the card layout object of one detected card. Its
// constructor identifies the card product (the card profile number) with
// the check operation of the card type, and records one entry per
// certificate found on the card, with its label and the paths of its key
// and PIN.
#pragma once

#include "smartcard/base/SC_Profile_Base.h"
#include "smartcard/detect/CardLayouts.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

class CPkcs15;
namespace kivo::card {
struct CardIdentity;
// The octets of a hex text of digit pairs (a serial number or a PKCS#15 iD
// as the layout keeps them); empty for anything else.
std::vector<std::uint8_t> octetsOfHex(const std::string& hex);
}

class CSC_Profile {
public:
    // One certificate found on the card.
    struct CertEntry {
        std::string label;
        std::string certPath;
        std::string keyPath;  // empty for CA certificates
        std::string pinPath;
        std::string application;  // AID selected before the paths, empty for none
        std::vector<std::uint8_t> certificate;  // DER as read
        // The certificate's PKCS#15 iD (hex; empty for the fixed layouts),
        // the references the card finds the key and its PIN by (from the
        // PKCS#15 objects, or from the layout), and the key's size (from
        // the PKCS#15 objects, or the certificate's key).
        std::string id;
        std::uint8_t keyReference = 0;
        std::uint8_t pinReference = 0;
        // The name the PIN prompts give the entry's PIN (200 to 230).
        std::uint16_t pinName = kivo::card::layout::kPinNameSignature;
        // The PIN path names the DF the PIN lives in (PKCS#15 PIN objects).
        bool pinPathIsFolder = false;
        std::uint32_t keyBits = 0;
        // How the card signs with the key: ECDSA for an EC certificate,
        // otherwise what the layout says (PKCS#1 v1.5 for PKCS#15 cards).
        kivo::card::layout::SignatureKind signatureKind = kivo::card::layout::SignatureKind::RsaPkcs1;
        // The hash algorithm value the card signs a hash of `hashAlgorithm`
        // with under that scheme (the PSS flag, or the bare hash for ECDSA).
        std::uint32_t CardAlgorithm(std::uint32_t hashAlgorithm) const;
        // Set by the card key when the PIN of this entry was verified;
        // cleared after an operation on a single-signature card.
        bool pinVerified = false;
    };

    // What detection found on a card, kept per reader while the card stays
    // (DetectionCache.h) and given to the layout objects of later calls.
    // No PIN state: a verified PIN belongs to the open card key alone.
    struct Findings {
        bool signCard = false;
        std::array<std::uint8_t, CSC_Profile_Base::cCardIdTailLength> cardIdTail{};
        std::string serialNumber;
        std::int32_t cardProfile = 0;
        int singleCard = 1;
        int keyKind = 1;
        int rsaKeyLength = 0;
        std::vector<CertEntry> certs;
        std::vector<CertEntry> caCerts;
        std::shared_ptr<const CPkcs15> pkcs15;  // read through a card object gone since: getters only
        std::string tokenLabel;
    };

    static constexpr int cKeyKindRsa = 1;
    static constexpr int cKeyKindEc = 2;

    // Runs detection on the connected card object (not owned), between the
    // card-work-begins and card-work-ends notifications.
    explicit CSC_Profile(CSC_Profile_Base* card);
    virtual ~CSC_Profile();
    CSC_Profile(const CSC_Profile&) = delete;
    CSC_Profile& operator=(const CSC_Profile&) = delete;

    // Whether `path` holds a parsable certificate; selects "3f00" again
    // after. `der` receives the certificate when given.
    bool CheckCert(const std::string& path, std::vector<std::uint8_t>* der = nullptr);

    // The check operations, one per card type: true when at least one
    // certificate entry was added.
    bool CheckTCOS2();
    bool CheckTCOS3();
    bool CheckMicardo21();
    bool CheckStarCos30();
    bool CheckStarCos32();
    bool CheckStarCos34();
    bool CheckTCOS3v2();
    bool CheckStarCos35();
    bool CheckStarCos37();
    bool CheckSecCos5x();
    bool CheckSetCos441();
    bool CheckSetCos442();
    bool CheckCardOS43();
    bool CheckCardOS44();
    bool CheckCardOS50();
    bool CheckCardOS54();
    bool CheckCardOS60();
    bool CheckStarCos37_DTRUST();
    // A PKCS#15 card: one entry per certificate of the token, profile 9.
    bool CheckPKCS15();

    CSC_Profile_Base* Card() const { return m_sc; }
    int CertCount() const { return m_certCount; }
    bool IsSignCard() const { return m_signCard; }
    const std::array<std::uint8_t, CSC_Profile_Base::cCardIdTailLength>& CardIdTail() const { return m_cardIdTail; }
    const std::string& SerialNumber() const { return m_serialNumber; }
    std::int32_t CardProfile() const { return m_cardProfile; }
    int SingleCard() const { return m_singleCard; }
    int KeyKind() const { return m_keyKind; }
    int RsaKeyLength() const { return m_rsaKeyLength; }
    const std::vector<CertEntry>& Certificates() const { return m_certs; }
    // The entries for the card key, which keeps their PIN state.
    std::vector<CertEntry>& Certificates() { return m_certs; }
    const std::vector<CertEntry>& CaCertificates() const { return m_caCerts; }
    // The entries with a key path, in order: those a card key selects, and
    // by whose position an index names one.
    std::vector<CertEntry*> UserCertificates();
    // Every certificate entry: the user certificates first (their indexes
    // stay those of UserCertificates), then those without a key.
    std::vector<const CertEntry*> AllCertificates();
    // The card's PKCS#15 objects, null when detection did not read them.
    const CPkcs15* Pkcs15() const { return m_pkcs15.get(); }
    // The card's label: its token label, "SmartCard" without one.
    std::string CardLabel() const;
    // Whether the card may sign a hash of this code (0 SHA-1, 1 SHA-256,
    // 2 SHA-384, 3 SHA-512).
    bool IsHashAllowed(int hashCode) const;
    // The D-TRUST CardOS 5.0 products (profiles 77 to 81) sign RSASSA-PSS
    // only.
    bool SignsRsaPss() const;
    // Selects the application (AID) that the entry's paths are in, as
    // detection did before reading its certificate; true for an entry
    // outside any application.
    bool SelectEntryApplication(const CertEntry& entry);

private:
    // Adds an entry for each file of the layout that holds a certificate;
    // true when at least one did.
    bool AddLayout(std::span<const kivo::card::layout::File> files);
    bool AddCertificate(const kivo::card::layout::File& file);
    void TakeKeyFromPkcs15(CertEntry& entry) const;
    static bool TakeCertificate(const std::vector<std::uint8_t>& content, std::vector<std::uint8_t>* der);
    // The first product of the card type whose required files and at
    // least one certificate file are there: its entries and profile.
    bool AddFixedLayout();
    // A check of a fixed-layout card type with its entering and leaving traces.
    bool CheckFixedLayout(const char* operation);
    // Reads the PKCS#15 token: its label and one entry per exported
    // certificate (those without a key go to the CA list). False when the
    // card has no readable PKCS#15 directory.
    bool ReadPkcs15();
    void AddPkcs15Entries();
    // The product the token label names for this card type: profile, flags,
    // and for the D-TRUST products their certificate files; the PKCS#15
    // entries otherwise. `setter` names the trace line of the setter, if any.
    bool SetProfileFromLabel(const char* setter);
    // A PKCS#15 card whose product the label tells.
    bool CheckLabelledCard(const char* operation, const char* setter);
    bool SelectApplication(const char* aid);
    void ReadSerialNumber();
    void SetProduct(std::int32_t profile, const char* logName);
    void Detect();
    // Takes over what an earlier detection of the same card found (the
    // card object learns its profile and serial number as detection would
    // have told it), or keeps what this one found.
    bool TakeKeptDetection(const kivo::card::CardIdentity& identity);
    void KeepDetection(const kivo::card::CardIdentity& identity) const;


    CSC_Profile_Base* m_sc;
    int m_certCount = 0;
    bool m_signCard = false;
    std::array<std::uint8_t, CSC_Profile_Base::cCardIdTailLength> m_cardIdTail{};
    std::string m_serialNumber;
    std::int32_t m_cardProfile = 0;
    int m_singleCard = 1;
    int m_keyKind = cKeyKindRsa;
    int m_rsaKeyLength = 0;
    std::vector<CertEntry> m_certs;
    std::vector<CertEntry> m_caCerts;
    std::shared_ptr<CPkcs15> m_pkcs15;
    std::string m_tokenLabel;
};
