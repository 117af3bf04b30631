// The file commands (SELECT, READ BINARY, READ RECORD, UPDATE BINARY) and
// the chunked reads and writes over them.
#include "smartcard/base/SC_Profile_Base.h"
#include "smartcard/base/StatusWords.h"

#include "smartcard/transport/CardTrace.h"

#include <algorithm>

using kivo::CardTrace;
namespace card = kivo::card;
namespace sw = kivo::card::sw;

namespace {

constexpr std::uint32_t kResponseCapacity = 256;
constexpr int kSelectAttempts = 3;
// Offsets of READ BINARY and UPDATE BINARY: 15 bits in P1 (bits 8-14) and P2.
constexpr std::uint32_t kMaxBinaryOffset = 0x7FFF;
constexpr std::uint32_t kMaxShortLength = 255;
// A short Le of 00 asks for 256 bytes.
constexpr std::uint32_t kMaxShortLe = 256;
// Out lengths of the reads are 16-bit.
constexpr std::uint32_t kMaxReadLength = 0xFFFF;
constexpr std::uint8_t kInsReadBinary = 0xB0;
constexpr std::uint8_t kInsReadRecord = 0xB2;
constexpr std::uint8_t kInsUpdateBinary = 0xD6;
constexpr std::uint8_t kRecordByNumber = 0x04;
// P1 of SELECT.
constexpr std::uint8_t kSelectMf = 0x00;
constexpr std::uint8_t kSelectDf = 0x01;
constexpr std::uint8_t kSelectEf = 0x02;
constexpr std::uint8_t kSelectPathFromCurrentDf = 0x09;

std::uint8_t offsetHigh(std::uint32_t offset) { return static_cast<std::uint8_t>((offset >> 8) & 0x7F); }
std::uint8_t offsetLow(std::uint32_t offset) { return static_cast<std::uint8_t>(offset & 0xFF); }

// The status words every file command maps the same way.
CardResult commonFileStatus(std::uint16_t sw) {
    switch (sw) {
        case sw::kOk: return card::cOk;
        case sw::kWrongLength: return card::cWrongLength;
        case sw::kLcInconsistentWithP1P2: return card::cWrongDataLength;
        case sw::kEndOfFile: return card::cEndOfFile;
        default: return card::cFailed;
    }
}

bool isReadSuccess(CardResult result) {
    return result == card::cOk || result == card::cEndOfFile;
}

}  // namespace

CardResult CSC_Profile_Base::SCSelect() {
    // The same SELECT again right after the card accepted it would only be
    // answered as before: its answer is kept, nothing is sent.
    if (RepeatsLastSelect()) {
        CardTrace::write(CardTrace::cLevelDetail, "select just answered: not sent again\n");
        return card::cOk;
    }
    CardResult result = card::cFailed;
    m_selectAnswer.clear();
    for (int attempt = 0; attempt < kSelectAttempts; ++attempt) {
        // Each attempt has room for the whole control information again
        // (the previous answer's length replaced the capacity).
        SetResponseCapacity(kResponseCapacity);
        if (!SendToCard()) return card::cFailed;
        if (StatusWord() == sw::kOk) break;
    }
    if (StatusWord() == sw::kOk) {
        m_selectAnswer.assign(Response(), Response() + ResponseLength());
    } else {
        m_selectAnswer.clear();
    }
    switch (StatusWord()) {
        case sw::kOk: result = card::cOk; break;
        case sw::kWrongLength: result = card::cWrongLength; break;
        case sw::kLcInconsistentWithP1P2: result = card::cWrongDataLength; break;
        case sw::kFileNotFound: result = card::cFileNotFound; break;
        default: result = card::cFailed; break;
    }
    return result;
}

CardResult CSC_Profile_Base::SCReadBinary(Bytes& out, std::uint32_t offset, std::uint32_t length) {
    out.clear();
    if (offset > kMaxBinaryOffset || length == 0 || length > kMaxShortLe) return card::cFailed;
    // P3 is the low byte of the length: 00 asks for 256 bytes.
    SetApdu(cCaseHeaderLc4, 0x00, kInsReadBinary, offsetHigh(offset), offsetLow(offset),
            static_cast<std::uint16_t>(length & 0xFF), 0, nullptr, 0);
    SetResponseCapacity(kResponseCapacity);
    CardTrace::write(CardTrace::cLevelDetail, "index: %d\n", static_cast<int>(offset));
    CardResult result = card::cFailed;
    if (SendToCard()) {
        switch (StatusWord()) {
            case sw::kIncompatibleFile: result = card::cIncompatibleFile; break;
            case sw::kNoCurrentEf: result = card::cNoCurrentEf; break;
            default: result = commonFileStatus(StatusWord()); break;
        }
        if (result == card::cOk || result == card::cEndOfFile) {
            out.assign(Response(), Response() + ResponseLength());
        }
    }
    CardTrace::write(CardTrace::cLevelDetail, "iReturn : %d \n", static_cast<int>(result));
    return result;
}

CardResult CSC_Profile_Base::SCReadRecord(std::uint8_t recordNumber, Bytes& out) {
    out.clear();
    SetApdu(cCaseHeaderLc4, 0x00, kInsReadRecord, recordNumber, kRecordByNumber, 0, 0, nullptr, 0);
    SetResponseCapacity(kResponseCapacity);
    if (!SendToCard()) return card::cFailed;
    out.assign(Response(), Response() + ResponseLength());
    return commonFileStatus(StatusWord());
}

CardResult CSC_Profile_Base::SCWriteBinary(const std::uint8_t* data, std::uint32_t offset,
                                           std::uint32_t length) {
    if (data == nullptr || offset > kMaxBinaryOffset || length == 0 || length > kMaxShortLength) {
        return card::cFailed;
    }
    SetApdu(cCaseData, 0x00, kInsUpdateBinary, offsetHigh(offset), offsetLow(offset),
            static_cast<std::uint16_t>(length), 0, data, static_cast<std::uint16_t>(length));
    SetResponseCapacity(kResponseCapacity);
    if (!SendToCard()) return card::cFailed;
    return commonFileStatus(StatusWord());
}

// --- chunked reads and writes -------------------------------------------------------

CardResult CSC_Profile_Base::ReadChunk(Bytes& chunk, std::uint32_t offset, std::uint32_t length) {
    CardResult result = SCReadBinary(chunk, offset, length);
    if (result == card::cNoCurrentEf && m_currEfLength != 0) {
        const Bytes ef = CurrentEf();
        if (SCSelectEF(ef.data()) != card::cOk) ForgetSelection();
        result = SCReadBinary(chunk, offset, length);
    }
    return result;
}

// Where the DER objects of a file end when padding follows them: a file
// that starts with a constructed object (PKCS#15 directories,
// certificates) holds objects back to back, then zero or FF bytes up to its
// fixed size. Nothing while the objects read so far do not show the end.
static std::optional<std::size_t> derContentEnd(const CSC_Profile_Base::Bytes& data) {
    constexpr std::uint8_t kConstructed = 0x20;
    if (data.empty() || (data[0] & kConstructed) == 0) return std::nullopt;
    std::size_t at = 0;
    while (at < data.size()) {
        if (data[at] == 0x00 || data[at] == 0xFF) return at;
        std::size_t header = at + 1;
        if ((data[at] & 0x1F) == 0x1F) {
            while (header < data.size() && (data[header] & 0x80) != 0) ++header;
            ++header;
        }
        if (header >= data.size()) return std::nullopt;
        std::size_t length = data[header];
        const std::size_t lengthOctets = length < 0x80 ? 0 : length & 0x7F;
        if (lengthOctets > 3 || (length >= 0x80 && lengthOctets == 0)) return std::nullopt;
        if (header + 1 + lengthOctets > data.size()) return std::nullopt;
        if (lengthOctets != 0) length = 0;
        for (std::size_t i = 0; i < lengthOctets; ++i) length = length << 8 | data[header + 1 + i];
        at = header + 1 + lengthOctets + length;
    }
    return std::nullopt;
}

CardResult CSC_Profile_Base::ReadChunks(Bytes& out, std::uint32_t offset, std::uint32_t length,
                                        std::uint32_t fileLength, bool anyErrorIs255, bool untilContentEnd) {
    out.clear();
    const std::uint32_t limit = ChunkLimit();
    if (fileLength > kMaxReadLength) return card::cFailed;
    std::uint32_t read = 0;
    Bytes chunk;
    while (read < length && offset + read < fileLength) {
        const std::uint32_t ask =
            std::min({length - read, fileLength - (offset + read), limit});
        const CardResult result = ReadChunk(chunk, offset + read, ask);
        if (!isReadSuccess(result)) return anyErrorIs255 ? card::cFailed : result;
        // A card that answers with more than was asked does not get to push
        // the reads past the request.
        const std::size_t taken = std::min<std::size_t>(chunk.size(), ask);
        out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(taken));
        read += static_cast<std::uint32_t>(taken);
        // The end of the file, or a card that returns nothing: stop here.
        if (result == card::cEndOfFile || taken == 0) break;
        // A fixed-size file whose objects end before it does: the padding
        // is not read.
        if (const auto end = untilContentEnd ? derContentEnd(out) : std::nullopt) {
            out.resize(*end);
            break;
        }
    }
    return card::cOk;
}

// A whole file read before in this card operation is not read again (the
// PKCS#15 walk and the certificate check read the same files): its
// contents are kept by path until a write or the next card operation.
CardResult CSC_Profile_Base::ReadFile(Bytes& out) {
    const std::string path = m_currEfLength != 0 ? GetCurrFilePath() : std::string();
    if (const auto kept = m_readFiles.find(path); !path.empty() && kept != m_readFiles.end()) {
        CardTrace::write(CardTrace::cLevelDetail, "file %s read before: not read again\n", path.c_str());
        out = kept->second;
        return card::cOk;
    }
    const std::uint32_t total = GetFileLen();
    const CardResult result = ReadChunks(out, 0, total, total, false, true);
    if (result == card::cOk && !path.empty()) m_readFiles[path] = out;
    return result;
}

CardResult CSC_Profile_Base::ReadFilePart(Bytes& out, std::uint32_t length) {
    CardTrace::write(CardTrace::cLevelDetail, "length : %d\n", static_cast<int>(length));
    return ReadChunks(out, 0, length, GetFileLen(), true);
}

CardResult CSC_Profile_Base::ReadFileOffset(Bytes& out, std::uint32_t offset, std::uint32_t length) {
    CardTrace::write(CardTrace::cLevelDetail, "length : %d\n", static_cast<int>(length));
    const std::uint32_t fileLength = GetFileLen();
    if (offset > kMaxBinaryOffset) {
        out.clear();
        return card::cFailed;
    }
    return ReadChunks(out, offset, length, fileLength, true);
}

CardResult CSC_Profile_Base::ReadRecord(std::uint8_t recordNumber, Bytes& out) {
    return SCReadRecord(recordNumber, out);
}

CardResult CSC_Profile_Base::ReadAllRecords(Bytes& out) {
    out.clear();
    Bytes record;
    // Record numbers are one byte; 0 names the current record, so the walk
    // ends at 254 records at the latest.
    for (unsigned number = 1; number < 0xFF; ++number) {
        const CardResult result = SCReadRecord(static_cast<std::uint8_t>(number), record);
        if (!isReadSuccess(result)) return number == 1 ? card::cFailed : card::cOk;
        if (record.size() > 2) out.insert(out.end(), record.begin() + 2, record.end());
    }
    return card::cOk;
}

CardResult CSC_Profile_Base::UpdateFile(const std::uint8_t* data, std::uint32_t length) {
    m_readFiles.clear();
    // UPDATE BINARY carries at most 255 bytes in a short Lc.
    const std::uint32_t limit = std::min(ChunkLimit(), kMaxShortLength);
    if ((data == nullptr && length != 0) || length > kMaxBinaryOffset + 1) return card::cFailed;
    for (std::uint32_t offset = 0; offset < length;) {
        const std::uint32_t chunk = std::min<std::uint32_t>(limit, length - offset);
        const CardResult result = SCWriteBinary(data + offset, offset, chunk);
        if (!isReadSuccess(result)) return card::cFailed;
        if (result == card::cEndOfFile) break;
        offset += chunk;
    }
    return card::cOk;
}

// --- building blocks of the profiles ---------------------------------------------------

CardResult CSC_Profile_Base::IsoSelect(std::uint8_t p1, std::uint8_t p2, const std::uint8_t* data,
                                       std::uint16_t length, std::optional<std::uint8_t> le) {
    constexpr std::uint8_t kInsSelect = 0xA4;
    if (data == nullptr || length == 0) {
        SetApdu(cCaseHeaderLe, 0x00, kInsSelect, p1, p2, 0, le.value_or(0), nullptr, 0);
    } else if (le) {
        SetApdu(cCaseDataLe, 0x00, kInsSelect, p1, p2, length, *le, data, length);
    } else {
        SetApdu(cCaseData, 0x00, kInsSelect, p1, p2, length, 0, data, length);
    }
    return SCSelect();
}

CardResult CSC_Profile_Base::SelectMfIn(const card::SelectForm& form) {
    const TraceScope trace(*this, "SCSelectMF");
    static constexpr std::uint8_t kMf[2] = {0x3F, 0x00};
    if (!form.mfByIdentifier) return IsoSelect(kSelectMf, form.p2, nullptr, 0, form.le);
    return IsoSelect(kSelectMf, form.p2, kMf, sizeof kMf, form.le);
}

CardResult CSC_Profile_Base::SelectDfIn(const card::SelectForm& form, const std::uint8_t* fid,
                                        std::uint32_t length) {
    const TraceScope trace(*this, "SCSelectDF");
    if (fid == nullptr || length == 0 || length > 0xFF) return card::cFailed;
    const std::uint8_t p1 = form.pathFromCurrentDf ? kSelectPathFromCurrentDf : kSelectDf;
    return IsoSelect(p1, form.p2, fid, static_cast<std::uint16_t>(length), form.le);
}

CardResult CSC_Profile_Base::SelectEfIn(const card::SelectForm& form, const std::uint8_t* fid) {
    const TraceScope trace(*this, "SCSelectEF");
    if (fid == nullptr) return card::cFailed;
    const std::uint8_t p1 = form.pathFromCurrentDf ? kSelectPathFromCurrentDf : kSelectEf;
    return IsoSelect(p1, form.p2, fid, 2, form.le);
}

std::uint32_t CSC_Profile_Base::FileSizeFromResponse(kivo::card::ControlInfoForm form) {
    const TraceScope trace(*this, "GetFileLen");
    const std::uint32_t size = kivo::card::fileSizeFrom({m_selectAnswer.data(), m_selectAnswer.size()}, form);
    CardTrace::write(CardTrace::cLevelDetail, "value : %d\n", static_cast<int>(size));
    return size;
}

std::string CSC_Profile_Base::SerialNumberFromGdo(const std::string& path) {
    constexpr std::uint8_t kTagSerialNumber = 0x5A;
    const TraceScope trace(*this, "GetSerialNumber");
    if (!m_serialNumber.empty()) return m_serialNumber;
    Bytes gdo;
    if (SelectPath(path) != card::cOk || ReadFile(gdo) != card::cOk) return m_serialNumber;
    // Top-level data objects with one-octet tags and short lengths.
    for (std::size_t at = 0; at + 2 <= gdo.size();) {
        const std::size_t length = gdo[at + 1];
        if (length >= 0x80 || at + 2 + length > gdo.size()) break;
        if (gdo[at] == kTagSerialNumber) {
            SetSerialNumber(gdo.data() + at + 2, static_cast<std::uint32_t>(length));
            break;
        }
        at += 2 + length;
    }
    return m_serialNumber;
}

CardResult CSC_Profile_Base::GetDataWithLe(std::uint8_t cla, std::uint8_t p1, std::uint8_t p2,
                                           Bytes& out, std::uint16_t le) {
    const TraceScope trace(*this, "GetData");
    SetApdu(cCaseHeaderLe, cla, 0xCA, p1, p2, 0, le, nullptr, 0);
    return OperationResult(SendToCard(), out) == card::cOk ? card::cOk : card::cFailed;
}

CardResult CSC_Profile_Base::OperationResult(bool sent, Bytes& out) {
    if (!sent) return card::cFailed;
    switch (StatusWord()) {
        case sw::kOk:
            out.assign(Response(), Response() + ResponseLength());
            return card::cOk;
        case sw::kSecurityStatusNotSatisfied: return card::cSecurityStatus;
        default: return card::cFailed;
    }
}

CardResult CSC_Profile_Base::SendDigestInfo(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                                            std::uint32_t keyBits, const std::uint8_t* hash,
                                            std::uint32_t length, std::uint32_t algorithm, Bytes& signature) {
    if (hash == nullptr || length == 0 || length > 0xFF) return card::cFailed;
    Bytes block;
    const CardResult result = BuildSignBuffer(algorithm, keyBits, hash, length, block, false);
    if (result != card::cOk || block.empty() || block.size() > 0xFF) return card::cFailed;
    return SendOperation(ins, p1, p2, block, {}, signature);
}

CardResult CSC_Profile_Base::SendOperation(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                                           std::span<const std::uint8_t> input, AnswerForm form, Bytes& out) {
    constexpr std::size_t kShortLimit = 0xFF;
    const bool extended = form.kind == AnswerForm::Extended;
    if (input.size() > (extended ? 0xFFFFu : kShortLimit)) return card::cFailed;
    const auto lc = static_cast<std::uint16_t>(input.size());
    if (input.empty()) {
        SetApdu(cCaseHeaderLe, 0x00, ins, p1, p2, 0, 0x00, nullptr, 0);
    } else if (extended) {
        SetApdu(cCaseExtended, 0x00, ins, p1, p2, lc, form.le, input.data(), lc);
    } else if (form.kind == AnswerForm::NoLe) {
        SetApdu(cCaseData, 0x00, ins, p1, p2, lc, 0, input.data(), lc);
    } else {
        SetApdu(cCaseDataLe, 0x00, ins, p1, p2, lc, 0x00, input.data(), lc);
    }
    return OperationResult(SendToCard(), out);
}

CardResult CSC_Profile_Base::ComputeDigitalSignature(std::span<const std::uint8_t> input, AnswerForm form,
                                                     Bytes& signature) {
    return SendOperation(cInsPso, 0x9E, 0x9A, input, form, signature);
}

CardResult CSC_Profile_Base::RestoreEnvironment(std::uint8_t number) {
    constexpr std::uint8_t kMseRestore = 0xF3;
    const TraceScope trace(*this, "RestoreEnvironment");
    return ManageSecurityEnvironment(kMseRestore, number, {});
}

CardResult CSC_Profile_Base::PerformDecipher(std::uint8_t p2, std::span<const std::uint8_t> input,
                                             std::optional<std::uint16_t> extendedLe, Bytes& out) {
    constexpr std::uint8_t kDecipher = 0x80;
    constexpr std::size_t kShortLimit = 0xFF;
    if (input.empty()) return card::cFailed;
    const bool extended = extendedLe || input.size() > kShortLimit;
    const AnswerForm form = extended ? AnswerForm{AnswerForm::Extended, extendedLe.value_or(0x0000)} : AnswerForm{};
    return SendOperation(cInsPso, kDecipher, p2, input, form, out);
}

CSC_Profile_Base::Bytes CSC_Profile_Base::AfterPaddingIndicator(std::uint8_t indicator, const std::uint8_t* data,
                                                                std::size_t length, bool reversed) {
    Bytes input;
    input.reserve(length + 1);
    input.push_back(indicator);
    if (reversed) {
        for (std::size_t i = length; i > 0; --i) input.push_back(data[i - 1]);
    } else {
        input.insert(input.end(), data, data + length);
    }
    return input;
}

bool CSC_Profile_Base::SetCommandWithoutAnswer(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2,
                                               std::span<const std::uint8_t> data) {
    if (data.size() > 0xFF) return false;
    const auto lc = static_cast<std::uint16_t>(data.size());
    if (data.empty()) {
        SetApdu(cCaseHeader, 0x00, ins, p1, p2, 0, 0, nullptr, 0);
    } else {
        SetApdu(cCaseData, 0x00, ins, p1, p2, lc, 0, data.data(), lc);
    }
    return true;
}

CardResult CSC_Profile_Base::ManageSecurityEnvironment(std::uint8_t p1, std::uint8_t p2,
                                                       std::span<const std::uint8_t> data) {
    constexpr std::uint8_t kInsMse = 0x22;
    if (!SetCommandWithoutAnswer(kInsMse, p1, p2, data)) return card::cFailed;
    Bytes ignored;
    return OperationResult(SendToCard(), ignored);
}

CardResult CSC_Profile_Base::SelectApplicationId(const std::uint8_t* aid, std::uint32_t length, std::uint8_t le) {
    constexpr std::uint8_t kSelectByName = 0x04;
    constexpr std::uint8_t kReturnFcp = 0x04;
    constexpr std::uint32_t kMaxAidLength = 16;
    if (aid == nullptr || length == 0 || length > kMaxAidLength) return card::cFailed;
    return IsoSelect(kSelectByName, kReturnFcp, aid, static_cast<std::uint16_t>(length), le);
}
