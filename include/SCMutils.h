// CSCUtils: smart-card utilities for hosts (readers, the certificates on a
// card, PIN verification and change), and the process-wide switches of the
// card layer (language, card trace, service mode, PIN-dialog callback).
#pragma once

#include "KivoExport.h"
#include "KivoLogger.h"
#include "PINDialogCallback.h"

#include <cstdint>
#include <string>

class KIVO_API CSCUtils {
public:
    CSCUtils();
    CSCUtils(const CSCUtils& other);
    CSCUtils& operator=(const CSCUtils& other);
    virtual ~CSCUtils();

    // ---- process-wide switches ----------------------------------------
    // Card-trace file and level; the trace is enabled when level != 0.
    // Does not touch log4cxx. Always returns true.
    static bool InitLogging(std::string path, int level);
    static void SetLogLevel(int level);
    static int GetLogLevel();

    // 0 English, 1 German, 2 Swedish; anything else is refused with false.
    static bool SetLanguage(int language);
    static int GetLanguage();

    // Service mode: no dialogs, no message boxes.
    static void SetIsService(bool isService);
    static bool GetIsService();

    static void SetUsePINDialogCallback(bool use);
    static bool GetUsePINDialogCallback();
    static void SetPINDialogCallbackFunc(PINDialogCallbackFunc callback);
    static PINDialogCallbackFunc GetPINDialogCallbackFunc();
    // Message boxes shown through the callback tell their kind in the
    // block's reserved1 (a question from an information box); off by
    // default, when reserved1 stays 0.
    static void SetPINDialogBoxKind(bool tell);
    static bool GetPINDialogBoxKind();

    // Release what the library handed out: OpenSSL memory and certificates.
    static void freeOPENSSL(void* memory);
    static void freeX509(void* certificate);

    // ---- readers ---------------------------------------------------------
    // Reader indexes count the PC/SC readers from 0.
    int GetNumReaders();
    int GetMaxReaders();  // 16
    // The reader's name, "---not connected---" when there is no such
    // reader; also kept in m_reader.
    std::string GetReaderName(int reader);
    // 1 when the reader has a PIN pad and the "KeyboardPIN" setting is off
    // (settings read anew), else 0.
    int getPINPADSupport(int reader);
    // Selects the reader of the card operations below; -1 for none.
    void setReader(int reader);
    int getNumSlots();  // 6

    // ---- the card in the selected reader ------------------------------
    // Each call reads the card anew. Slots number the card's certificates
    // that have a key, from 0.
    //
    // Fills the slots (identifier: the slot number in decimal; label) and
    // returns their count; 0 without a selected reader or a known card.
    int GetCertIDs();
    // The number of the card's certificates with a key; 0 as above.
    int GetNumCerts();
    // The identifier GetCertIDs gave the slot; empty for other slots.
    std::string GetCertID(int slot);
    // The slot's certificate, owned by the caller (freeX509); null when
    // there is none.
    x509_st* GetX509(int slot);
    // Verifies the slot's PIN: `pin` as given, or asked for on the reader's
    // PIN pad or in a dialog when null or empty. True when the card
    // accepted it.
    bool VerifyPIN(int slot, const char* pin);
    // Changes the slot's PIN (asked for when both are null or empty): 0
    // on success, else the card's result (5 wrong PIN, 6 PIN blocked, 255
    // no card, slot or reader, or refused in service mode).
    int ChangePIN(int slot, const char* oldPin, const char* newPin);

    // ---- members kept for hosts of earlier card engines -----------------
    // They do nothing beyond the result given (and the log lines of the
    // last three groups).
    void setCertID(const char* certId);
    void setMODULE_PATH(const char* path);
    void setSO_PATH(const char* path);
    void setSlot(int slot);
    int CheckReader(int reader);          // 0
    int CheckTCOSStausPW();               // 0
    int CheckTCOSStausSigPW();            // 0
    int SendAPDU(const unsigned char* command, unsigned long commandLength, unsigned char* response,
                 unsigned long* responseLength);  // 0
    int InitTCOSCard();                   // 0
    int InitTCOSCardSig();                // 0
    int EstablishContext();               // 0
    int ExitSCardEngine();                // 0
    int InitSCardEngine();                // 0
    int ResetCard();                      // 0
    int GetCardType();                    // 0
    // Secure messaging runs inside the card layer; these compute nothing.
    int DES_retail_mac(const unsigned char* key, const unsigned char* data, unsigned long length,
                       unsigned char* mac);       // 0
    int DES_cbc_cksum_3des(const unsigned char* key, const unsigned char* data, unsigned long length,
                           unsigned char* checksum);  // 0
    bool CheckPermanentLogin();           // true
    bool PermanentLogin();                // true
    void InitCerts();
    int ConnectCard();                    // 0, entry and exit logged
    int DisconnectCard();                 // 0, entry and exit logged
    int ReleaseContext();                 // 0, entry and exit logged
    bool FreeTCOSCardObject();            // true, entry and exit logged
    bool ReadTCOSCardCert();              // true, entry and exit logged
    bool ReadTCOSCardPubkey();            // true, entry and exit logged
    bool CheckTCOSIFDPubkey();            // true, entry and exit logged
    bool WriteTCOSIFDPubkey();            // true, entry and exit logged
    bool Tmp();                           // true, entry and exit logged
    bool GetSessionKeys();                // false, entry and exit logged

    // Name of the last reader asked for.
    static std::string m_reader;
    // The library's module handle (base address of the loaded library).
    static const void* m_module;
    static kivo::LoggerPtr m_logger;

    static constexpr int cMaxReaders = 16;
    static constexpr int cMaxCerts = 96;

private:
    struct CertSlot {
        char id[128];      // the slot number in decimal, NUL-terminated
        char label[256];   // the certificate entry's label, NUL-terminated
        std::uint32_t value;  // unused; 0
    };

    // The members in the order of the class layout; those marked unused
    // keep their place in it.
    std::string m_text1;  // unused; empty
    std::string m_text2;  // unused; empty
    int m_numCerts;       // slots GetCertIDs filled
    CertSlot m_certs[cMaxCerts];
    int m_selectedReader;
    int m_numSlots;
    [[maybe_unused]] int m_word1;  // unused; 0
    [[maybe_unused]] int m_word2;  // unused; 0
};
