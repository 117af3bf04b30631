// CSC_Profile_Base: the card object. One instance per connected card, made
// as one of the card operating-system profiles; it holds the transport
// (CSC_Transport), the cache of the current file, the PIN and key lengths
// of the profile, and implements as virtual operations everything the upper
// layers do with a card. Profiles replace only what their card operating
// system does differently, and must provide the pure operations (file
// length from the control information, GET DATA, the select primitives,
// signing and deciphering, the pin-pad structures).
//
// Every operation returns a card result code (CardResult.h); card bytes go
// through SendToCard or TransmitControl only.
#pragma once

#include "smartcard/base/CardResult.h"
#include "smartcard/profiles/ControlInfo.h"
#include "smartcard/transport/SC_Transport.h"
#include "smartcard/pin/PinPrompt.h"

#include <array>
#include <map>
#include <cstdint>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <vector>

class CSC_Profile_Base : public CSC_Transport {
public:
    using Bytes = std::vector<std::uint8_t>;

    // Hash algorithm values of BuildSignBuffer (Windows CALG numbers).
    static constexpr std::uint32_t cAlgMd5 = 0x8003;
    static constexpr std::uint32_t cAlgSha1 = 0x8004;
    static constexpr std::uint32_t cAlgRipemd160 = 0x8007;
    static constexpr std::uint32_t cAlgSsl3Shamd5 = 0x8008;
    static constexpr std::uint32_t cAlgSha256 = 0x800C;
    static constexpr std::uint32_t cAlgSha384 = 0x800D;
    static constexpr std::uint32_t cAlgSha512 = 0x800E;
    static constexpr std::uint32_t cAlgRawHash = 0xFFFF;
    // Set in the hash algorithm value of a signature: RSASSA-PSS with that
    // hash instead of PKCS#1 v1.5, for the profiles whose cards compute it.
    static constexpr std::uint32_t cAlgFlagPss = 0x10000;

    static constexpr std::size_t cMaxDfPathLength = 128;
    static constexpr std::size_t cMaxPathTextBytes = 136;
    static constexpr std::size_t cMaxSmKeyLength = 512;
    static constexpr std::size_t cCardIdTailLength = 16;
    static constexpr std::size_t cVerifyStructLength = 23;
    static constexpr std::size_t cModifyStructLength = 28;

    CSC_Profile_Base();

    // --- virtual operations, in slot order -------------------------------
    ~CSC_Profile_Base() override;                                             // 0
    virtual std::string GetSerialNumber();                                    // 1
    virtual CardResult SelectPath(const std::string& path, bool force = false,
                                  bool reselect = false, bool lastIsDF = false,
                                  bool byAid = false);                        // 2
    virtual std::uint32_t GetFileLen() = 0;                                   // 3
    virtual CardResult ReadFile(Bytes& out);                                  // 4
    virtual CardResult ReadFilePart(Bytes& out, std::uint32_t length);        // 5
    virtual CardResult ReadFileOffset(Bytes& out, std::uint32_t offset,
                                      std::uint32_t length);                  // 6
    virtual CardResult ReadRecord(std::uint8_t recordNumber, Bytes& out);     // 7
    virtual CardResult ReadAllRecords(Bytes& out);                            // 8
    virtual CardResult UpdateFile(const std::uint8_t* data, std::uint32_t length);  // 9
    virtual CardResult EraseFile(const std::string& path);                    // 10
    virtual CardResult GenRSAKeyPair(std::uint8_t keyReference, std::uint32_t keyBits);  // 11
    virtual CardResult Verify(const std::string& path, const std::string& altPath,
                              bool selectFirst, std::uint8_t reference, bool usePinPad,
                              const std::string& pin,
                              const kivo::pin::PromptTexts& prompts = {});   // 12
    virtual CardResult ChangeRef(const std::string& path, const std::string& altPath,
                                 std::uint8_t reference, bool usePinPad,
                                 const std::string& oldPin, const std::string& newPin,
                                 const kivo::pin::PromptTexts& prompts = {});  // 13
    virtual CardResult UnblockRef(const std::string& path, const std::string& altPath,
                                  std::uint8_t reference, const std::string& puk,
                                  const std::string& newPin,
                                  const kivo::pin::PromptTexts& prompts = {});  // 14
    virtual CardResult SignData(const std::string& keyPath, std::uint32_t keyBits,
                                const std::uint8_t* data, std::uint32_t dataLength,
                                Bytes& signature, std::uint32_t algorithm,
                                std::uint8_t keyReference);                  // 15
    virtual CardResult PreSigning(std::int32_t cardProfile, const std::string& keyPath);  // 16
    virtual CardResult PostSigning();                                         // 17
    virtual CardResult InitSM();                                              // 18
    virtual CardResult SetSMKeys(const std::uint8_t* key1, std::uint32_t length1,
                                 const std::uint8_t* key2, std::uint32_t length2);  // 19
    virtual CardResult RSADecrypt(const std::string& keyPath, std::uint32_t keyBits,
                                  const std::uint8_t* data, std::uint32_t dataLength,
                                  Bytes& plain, std::uint32_t algorithm,
                                  std::uint8_t keyReference);                // 20
    virtual CardResult InternalAuthenticate(const std::uint8_t* data, std::uint32_t length,
                                            Bytes& answer);                   // 21
    virtual CardResult ExternalAuthenticate(const std::uint8_t* data,
                                            std::uint32_t length);            // 22
    virtual CardResult GetChallange(std::uint8_t* buffer, std::uint32_t length);  // 23
    virtual CardResult GetData(std::uint8_t p1, std::uint8_t p2, Bytes& out,
                               std::uint16_t le) = 0;                         // 24
    virtual bool IsSMActive();                                                // 25
    virtual CardResult GetPubKey(std::uint8_t keyReference, Bytes& publicKey);  // 26
    virtual bool IsKeyTypeAllowed(std::int32_t keyType, std::int32_t usage);  // 27
    virtual bool InitPACE(const std::string& pin);                            // 28
    virtual void FreePACE();                                                  // 29
    virtual std::int32_t GetPaceMode();                                       // 30
    virtual bool IsPaceReader(const std::string& readerName);                 // 31
    virtual void HasPaceReader();                                             // 32
    virtual bool IsTrustedChannelActive();                                    // 33
    virtual std::uint8_t GetTrustedChannelCla();                              // 34
    virtual bool EncryptTrustedChannelData(const std::uint8_t* data, std::uint32_t length,
                                           Bytes& out);                       // 35
    virtual bool DecryptTrustedChannelData(const std::uint8_t* data, std::uint32_t length,
                                           Bytes& out);                       // 36
    virtual CardResult SelectKeyAndAlgorithm(std::uint8_t keyReference,
                                             std::uint32_t algorithm);        // 37
    virtual CardResult SCSelectMF() = 0;                                      // 38
    virtual CardResult SCSelectDF(const std::uint8_t* fid, std::uint32_t length) = 0;  // 39
    virtual CardResult SCSelectEF(const std::uint8_t* fid) = 0;               // 40
    virtual CardResult SCSelectAID(const std::uint8_t* aid, std::uint32_t length);  // 41
    virtual CardResult SCSelect();                                            // 42
    virtual CardResult SCReadBinary(Bytes& out, std::uint32_t offset, std::uint32_t length);  // 43
    virtual CardResult SCReadRecord(std::uint8_t recordNumber, Bytes& out);   // 44
    virtual CardResult SCWriteBinary(const std::uint8_t* data, std::uint32_t offset,
                                     std::uint32_t length);                   // 45
    virtual CardResult SCVerify(std::uint8_t reference, const std::uint8_t* pin,
                                std::uint32_t length);                        // 46
    virtual CardResult SCChangeRef(std::uint8_t reference, const std::uint8_t* oldPin,
                                   std::uint32_t oldLength, const std::uint8_t* newPin,
                                   std::uint32_t newLength);                  // 47
    virtual CardResult SCUnblockPin(std::uint8_t reference, const std::uint8_t* puk,
                                    std::uint32_t pukLength, const std::uint8_t* newPin,
                                    std::uint32_t newLength);                 // 48
    virtual CardResult SCUnblockPin2(std::uint8_t reference, const std::uint8_t* puk,
                                     std::uint32_t pukLength);                // 49
    virtual CardResult SCSignData(const std::string& keyPath, std::uint32_t keyBits,
                                  const std::uint8_t* data, std::uint32_t dataLength,
                                  Bytes& signature, std::uint32_t algorithm,
                                  std::uint8_t keyReference) = 0;            // 50
    virtual CardResult SCDecipher(const std::string& keyPath, std::uint32_t keyBits,
                                  const std::uint8_t* data, std::uint32_t dataLength,
                                  Bytes& plain, std::uint32_t algorithm,
                                  std::uint8_t keyReference) = 0;            // 51
    virtual std::uint32_t StartVerifyPinPad();                                // 52
    virtual bool FinishVerifyPinPad();                                        // 53
    virtual std::uint32_t StartModifyPinPad();                                // 54
    virtual bool FinishModifyPinPad();                                        // 55
    virtual std::uint8_t GetKeyPressed();                                     // 56
    virtual void ModifyVerifyStruct();                                        // 57
    virtual void ModifyModifyStruct();                                        // 58
    virtual void InitPinLengths();                                            // 59
    virtual void InitKeyLengths();                                            // 60
    virtual std::uint32_t IsUnblockPukOnly();                                 // 61
    virtual void InitUnblockMode();                                           // 62
    virtual void CreateModifyStruct() = 0;                                    // 63
    virtual void CreateVerifyStruct() = 0;                                    // 64
    virtual CardResult BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                                       const std::uint8_t* hash, std::uint32_t hashLength,
                                       Bytes& out, bool pad);                 // 65
    virtual CardResult returnResult();                                        // 66

    // --- non-virtual members ----------------------------------------------
    // Stores the type number and its name.
    void SetCardType(std::int32_t type);
    // The name of a card type number ("unknown smartcard" for others).
    static const char* CardTypeName(std::int32_t type);
    // Stores the profile number in both profile members, then asks the
    // profile for its PIN and key lengths.
    void SetCardProfile(std::int32_t profile);
    // Stores the serial number as lower-case hex and its last 16 bytes,
    // right-aligned and zero-filled, as the card identifier tail.
    void SetSerialNumber(const std::uint8_t* bytes, std::uint32_t length);
    // The current DF path followed by the current EF, as hex pairs.
    std::string GetCurrFilePath() const;
    // Saves the given path, or the current one when empty.
    void PushCurrentFile(const std::string& path);
    // Returns to the most recently saved file.
    void PopCurrentFile();
    // Another program may have used the card since this object's last
    // command (a new card operation on a kept card object begins): the
    // next forced select starts at the MF again, files are read anew.
    void SelectionMayHaveChanged();
    // Lower-case hex, two digits per byte, no separator.
    static std::string hex2str(const std::uint8_t* bytes, std::uint32_t length);
    // A path text as the profiles compare paths: its hexadecimal digits
    // alone, upper-case ("3f00/df01/c000" and "3F00DF01C000" are one path).
    static std::string CanonicalPath(const std::string& path);
    // Pin-pad check: asks the reader for its features, rebuilds both pin-pad
    // structures through the profile, returns the pin-pad flag.
    bool CheckPinPad();

    // The PC/SC pin-pad structures as the base profile builds them.
    Bytes BaseVerifyStruct() const;
    Bytes BaseModifyStruct() const;

    // State the upper layers read.
    std::int32_t CardType() const { return m_cardType; }
    const std::string& CardOsName() const { return m_cardOsName; }
    std::int32_t CardProfile() const { return m_cardProfile; }
    const std::string& KeyPath() const { return m_keyPath; }
    const std::string& SerialNumberText() const { return m_serialNumber; }
    const std::array<std::uint8_t, cCardIdTailLength>& CardIdTail() const { return m_cardIdTail; }
    std::uint8_t PinMinLength() const { return m_pinMinLength; }
    std::uint8_t PinMaxLength() const { return m_pinMaxLength; }
    std::uint32_t RsaKeyLength() const { return m_rsaKeyLength; }
    std::uint32_t SecondKeyLength() const { return m_secondKeyLength; }
    bool PinEntryCancelled() const { return m_pinEntryCancelled; }
    std::uint16_t BlockSize() const { return m_blockSize; }
    void SetBlockSize(std::uint16_t blockSize) { m_blockSize = blockSize; }
    Bytes CurrentDfPath() const { return Bytes(m_currDfPath.begin(), m_currDfPath.begin() + m_currDfPathLength); }
    Bytes CurrentEf() const { return Bytes(m_currEf.begin(), m_currEf.begin() + m_currEfLength); }
    Bytes SmKey1() const { return Bytes(m_smKey1.begin(), m_smKey1.begin() + m_smKey1Length); }
    Bytes SmKey2() const { return Bytes(m_smKey2.begin(), m_smKey2.begin() + m_smKey2Length); }
    std::size_t FileStackDepth() const { return m_fileStack.size(); }
    // Tries left as the card reported them with the last PIN command;
    // -1 when it did not say.
    std::int32_t RemainingTries() const { return m_remainingTries; }

protected:
    // --- traces ------------------------------------------------------------------
    // The class name the entry and leaving traces of a profile carry
    // ("CSC_Profile_StarCos34").
    virtual const char* ProfileName() const { return "CSC_Profile_Base"; }
    // "--entering <profile>::<operation>" now, "--leaving ..." at the end.
    class TraceScope {
    public:
        TraceScope(const CSC_Profile_Base& profile, const char* operation);
        ~TraceScope();
        TraceScope(const TraceScope&) = delete;
        TraceScope& operator=(const TraceScope&) = delete;

    private:
        const char* m_profile;
        const char* m_operation;
    };
    // Runs a hook the base calls (pin-pad structures) between its entering
    // and leaving traces, under the name of the profile that answers it.
    template <typename Hook>
    auto Traced(const char* operation, Hook&& hook) {
        const TraceScope trace(*this, operation);
        return hook();
    }

    // --- the selection cache ---------------------------------------------------
    // SelectPath keeps the cache of the current DF path and EF. A profile
    // that sends a select itself, outside SelectPath, tells the cache what
    // happened through these two members and nothing else:
    // SelectMfAndNote selects the MF with SCSelectMF and records the outcome
    // (the MF on success, "unknown" otherwise); ForgetSelection records
    // "unknown" after any other direct select, so that the next SelectPath
    // starts from the first identifier of its path. The cache never claims
    // a file that was not selected.
    CardResult SelectMfAndNote();
    void ForgetSelection();
    // What SelectPath still has to select of a path: from byte `from` on;
    // `lastAlreadyCurrent` when that is a reselect of the cache's file.
    struct PathRemainder {
        std::size_t from = 0;
        bool lastAlreadyCurrent = false;
    };
    PathRemainder ReducePath(const Bytes& path, bool reselect, bool lastIsDF);
    // Whether `path` (hex text) is the cache's current DF path.
    bool NamesCurrentDf(const std::string& path) const;
    // The cache after a successful MF select: DF path 3F 00, no EF.
    void ResetSelectionToMf();

    // --- PIN commands, for profiles that format PINs their own way ------------
    // A PIN buffer that is wiped when it goes away.
    class PinData {
    public:
        PinData() = default;
        ~PinData();
        PinData(const PinData&) = delete;
        PinData& operator=(const PinData&) = delete;
        void append(const std::uint8_t* bytes, std::uint32_t length);
        void appendByte(std::uint8_t byte) { m_bytes.push_back(byte); }
        void appendZeros(std::uint32_t count) { m_bytes.insert(m_bytes.end(), count, 0); }
        const Bytes& bytes() const { return m_bytes; }

    private:
        Bytes m_bytes;
    };
    // InitPinLengths, then whether a new PIN of `length` lies within them.
    bool NewPinLengthAllowed(std::uint32_t length);
    // Sends one PIN command (VERIFY, CHANGE REFERENCE DATA, RESET RETRY
    // COUNTER) with the data given and maps the answer with returnResult;
    // empty data send the header alone (case 1).
    CardResult SendPinCommand(std::uint8_t ins, std::uint8_t p1, std::uint8_t reference,
                              const Bytes& data);
    // Writes the PIN reference into P2 of both pin-pad structures.
    void SetPinPadReference(std::uint8_t reference);
    // Tries left that the last PIN command reported (63Cx), for the
    // profiles whose cards count them; returnResult resets it to -1.
    void SetRemainingTries(std::int32_t tries) { m_remainingTries = tries; }

    // --- ISO 7816 building blocks of the profiles -------------------------------
    // SELECT 00 A4 p1 p2 with `data` (case 6), followed by `le` when given
    // (case 5); without data the header with Le (case 2). Sent by SCSelect.
    CardResult IsoSelect(std::uint8_t p1, std::uint8_t p2, const std::uint8_t* data,
                         std::uint16_t length, std::optional<std::uint8_t> le);
    // SELECT as `form` says of the MF (P1 00), a DF (P1 01, 1 to 255
    // identifier bytes) or an EF (P1 02, 2 bytes), the last two by path
    // from the current DF (P1 09) where the form says so; 255 without
    // sending when the identifier is missing.
    // The input of a PKCS#1 v1.5 signature: the DigestInfo of the hash (or
    // the raw hash for the algorithm values that sign it bare), as a
    // type-1 block of the key's length when `pad` is set. PSS values are
    // refused. The base BuildSignBuffer, without its trace, for overrides
    // that fall back on it.
    CardResult DigestInfoSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                                    const std::uint8_t* hash, std::uint32_t hashLength, Bytes& out,
                                    bool pad);
    CardResult SelectMfIn(const kivo::card::SelectForm& form);
    CardResult SelectDfIn(const kivo::card::SelectForm& form, const std::uint8_t* fid,
                          std::uint32_t length);
    CardResult SelectEfIn(const kivo::card::SelectForm& form, const std::uint8_t* fid);
    // The file size the control information of the last successful
    // SELECT gives in `form` (kept apart from the response buffer, which
    // later commands overwrite); traces "value : %d".
    std::uint32_t FileSizeFromResponse(kivo::card::ControlInfoForm form);
    // The path of the general data file on most cards.
    static constexpr const char* cGeneralDataFile = "3f002f02";
    // GetSerialNumber from the general data file (tag 5A), read from `path`
    // once and stored with SetSerialNumber; the stored text.
    std::string SerialNumberFromGdo(const std::string& path = cGeneralDataFile);
    // GetData as GET DATA cla CA p1 p2 with Le (case 2): 0 with the object
    // in `out`, 255 for any other answer.
    CardResult GetDataWithLe(std::uint8_t cla, std::uint8_t p1, std::uint8_t p2, Bytes& out,
                             std::uint16_t le);
    // 9000: the response goes to `out`, 0; 6982: 13; anything else 255.
    CardResult OperationResult(bool sent, Bytes& out);
    // 00 ins p1 p2 with the DigestInfo of `hash` (the card pads it) and Le
    // 00: PSO COMPUTE DIGITAL SIGNATURE or INTERNAL AUTHENTICATE.
    CardResult SendDigestInfo(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, std::uint32_t keyBits,
                              const std::uint8_t* hash, std::uint32_t length, std::uint32_t algorithm,
                              Bytes& signature);
    // MANAGE SECURITY ENVIRONMENT RESTORE 00 22 F3 nn: the card's stored
    // environment nn becomes the current one.
    CardResult RestoreEnvironment(std::uint8_t number);
    // MANAGE SECURITY ENVIRONMENT 00 22 p1 p2 with the data objects `data`
    // (case 3; without data case 1): every profile's MSE SET (p1 41 or 01
    // and the control reference template) and RESTORE (F3 and the number).
    // 0, 13 (6982) or 255.
    CardResult ManageSecurityEnvironment(std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data);
    // How a command with data asks for its answer: case 4 with Le 00, case
    // 3 without Le (the card answers all the same), or extended with `le`.
    struct AnswerForm {
        enum Kind { ShortLe, NoLe, Extended } kind = ShortLe;
        std::uint16_t le = 0;
    };
    // One card operation 00 ins p1 p2 with `input` in `form` (without
    // input: case 2 with Le 00, the card works on what it holds). The
    // card's answer in `out`; 255 for an input too long for the form.
    CardResult SendOperation(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> input,
                             AnswerForm form, Bytes& out);
    // PSO COMPUTE DIGITAL SIGNATURE 00 2A 9E 9A through SendOperation.
    CardResult ComputeDigitalSignature(std::span<const std::uint8_t> input, AnswerForm form, Bytes& signature);
    static constexpr std::uint8_t cInsPso = 0x2A;
    // PSO DECIPHER 00 2A 80 p2 with `input` (a padding-indicator octet first
    // where the card wants one): extended with `extendedLe`, or without it
    // case 4 with Le 00 while the input fits 255 octets (extended, Le 0000,
    // beyond). The card's answer in `out`.
    CardResult PerformDecipher(std::uint8_t p2, std::span<const std::uint8_t> input,
                               std::optional<std::uint16_t> extendedLe, Bytes& out);
    // The padding indicator followed by the data, in reverse order for a
    // card that reads numbers least significant byte first.
    static Bytes AfterPaddingIndicator(std::uint8_t indicator, const std::uint8_t* data, std::size_t length,
                                       bool reversed = false);
    // Prepares 00 ins p1 p2 with `data` as case 3, or case 1 without data;
    // false (nothing prepared) for more than 255 octets.
    bool SetCommandWithoutAnswer(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                                 std::span<const std::uint8_t> data);
    // P1 of MSE SET for computation, decipherment, internal authentication
    // and key agreement.
    static constexpr std::uint8_t cMseSet = 0x41;
    // P2 of PSO DECIPHER for a cryptogram with a padding-indicator octet.
    static constexpr std::uint8_t cEncipheredValue = 0x86;
    // SELECT by AID (00 A4 04 04, FCP) with this Le; 255 without an AID or
    // for one longer than the 16 bytes an AID has at most.
    CardResult SelectApplicationId(const std::uint8_t* aid, std::uint32_t length, std::uint8_t le);

    static constexpr std::uint8_t cInsVerify = 0x20;
    static constexpr std::uint8_t cInsChangeReference = 0x24;
    static constexpr std::uint8_t cInsResetRetryCounter = 0x2C;

    std::uint32_t m_smActive = 0;
    std::uint32_t m_reserved1 = 0;
    std::uint32_t m_reserved2 = 0;
    std::string m_serialNumber;
    std::string m_extra1;
    std::string m_extra2;
    std::string m_cardOsName;
    std::array<std::uint8_t, cMaxDfPathLength> m_currDfPath{};
    std::uint32_t m_currDfPathLength = 0;
    std::array<std::uint8_t, 8> m_currEf{};
    std::uint32_t m_currEfLength = 0;
    // Whether this object established the card's selection itself (a
    // successful MF or AID select, and the selects since): then a forced
    // start would only repeat it. Not so on a new connection, after a
    // select the card refused, nor once another program may have used the
    // card since (SelectionMayHaveChanged).
    bool m_selectionKnown = false;
    // The control information of the last successful SELECT. The selection
    // cache stands in for a select only while nothing else was selected,
    // so the file it answers for is the current one: its size stays known
    // however many other commands ran since.
    Bytes m_selectAnswer;
    // The files ReadFile read whole in this card operation, by path.
    std::map<std::string, Bytes> m_readFiles;
    // The entered PIN the card rejected last, and for which reference.
    std::optional<kivo::pin::Secret> m_rejectedPin;
    std::uint8_t m_rejectedReference = 0;
    std::uint8_t m_pinMinLength = 4;
    std::uint8_t m_pinMaxLength = 8;
    std::int32_t m_cardProfile = 0;
    std::int32_t m_cardProfileCopy = 0;
    std::string m_keyPath;
    std::array<std::uint8_t, cMaxSmKeyLength> m_smKey1{};
    std::uint16_t m_smKey1Length = 0;
    std::array<std::uint8_t, cMaxSmKeyLength> m_smKey2{};
    std::uint16_t m_smKey2Length = 0;
    std::array<std::uint8_t, cCardIdTailLength> m_cardIdTail{};
    std::uint32_t m_rsaKeyLength = 2048;
    std::uint32_t m_secondKeyLength = 1024;
    std::uint32_t m_reserved3 = 0;
    std::uint32_t m_unblockPukOnly = 0;
    bool m_pinEntryCancelled = false;
    std::uint16_t m_blockSize = 240;
    std::list<std::string> m_fileStack;
    std::uint8_t m_flag = 0;
    std::int32_t m_remainingTries = -1;

private:
    // Steps shared by SelectPath.
    CardResult SelectByAid(const Bytes& aid, bool force, bool reselect);
    CardResult SelectFileIds(const std::uint8_t* fids, std::size_t length, bool lastIsDF,
                             bool lastAlreadyCurrent);
    bool AppendToDfPath(const std::uint8_t* fid);
    // Reads min(length, file rest) bytes from `offset` in chunks; the
    // common loop of the three transparent reads. `untilContentEnd` stops
    // where the file's DER objects end and padding follows (ReadFile).
    CardResult ReadChunks(Bytes& out, std::uint32_t offset, std::uint32_t length,
                          std::uint32_t fileLength, bool anyErrorIs255,
                          bool untilContentEnd = false);
    // One READ BINARY with the re-select and retry on "no current EF".
    CardResult ReadChunk(Bytes& chunk, std::uint32_t offset, std::uint32_t length);
    // The low byte of the block size; a low byte of 0 reads 256 bytes (Le 00).
    std::uint32_t ChunkLimit() const {
        const std::uint32_t low = m_blockSize & 0xFFu;
        return low == 0 ? 256u : low;
    }
    // A key path names a file, or the folder that holds the key as an
    // object of its own, which no file select reaches: selected as the one,
    // else as the other. (PIN paths keep the alternative path instead.)
    CardResult SelectFileOrFolder(const std::string& path);
    // PIN entry steps of Verify, ChangeRef and UnblockRef.
    CardResult SelectForPinOperation(const std::string& path, const std::string& altPath);
    CardResult VerifyWithKeyboard(std::uint8_t reference, const std::string& pin,
                                  const kivo::pin::PromptTexts& prompts);
    CardResult VerifyWithPinPad(std::uint8_t reference, const kivo::pin::PromptTexts& prompts);
    // The PIN the card rejected last, kept only to refuse sending it again.
    bool RepeatsRejectedPin(std::uint8_t reference, const kivo::pin::Secret& entered) const;
    void NoteVerifyOutcome(std::uint8_t reference, CardResult result, kivo::pin::Secret entered);
    // `prompts` with this card's handle and reader, for the dialogs.
    kivo::pin::PromptTexts OnThisCard(const kivo::pin::PromptTexts& prompts) const;
    CardResult ChangeWithPinPad(std::uint8_t reference, const kivo::pin::PromptTexts& prompts);
    // UnblockRef once the PIN's folder is selected: PUK (and new PIN) as
    // given or asked for.
    CardResult UnblockSelected(std::uint8_t reference, const std::string& puk,
                               const std::string& newPin, const kivo::pin::PromptTexts& prompts);
    // Polls the pin pad's keys until Cancel, time-out, or the given number
    // of OK presses (one per prompt); returns the key that ended the wait.
    std::uint8_t WaitForPinPadKeys(kivo::pin::PinPadProgress* dialog, int confirmations);
};
