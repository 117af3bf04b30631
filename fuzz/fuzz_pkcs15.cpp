// The PKCS#15 reader on arbitrary file contents. Each parser reads the
// whole input as its file; then CPkcs15 reads a card whose every file
// comes from the input: for each SelectPath one octet decides success, for
// each read one octet the result (0, 10 for a record file, or a failure)
// and two more the length of the file that follows. Whatever the files
// hold, the reader must stay within its bounds and end. The detection walk
// of the card layout object (product checks, PKCS#15 labels, certificate
// files) then runs on a card answering from the input the same way.
#include "fuzz/FuzzInput.h"

#include "smartcard/base/CardNumbers.h"
#include "smartcard/base/SC_Profile_Base.h"
#include "smartcard/detect/SC_Profile.h"
#include "smartcard/key/ConfigSC.h"
#include "smartcard/pkcs15/Pkcs15.h"
#include "smartcard/transport/CardTrace.h"

#include <algorithm>

namespace {

// The input still to be handed out.
class Pieces {
public:
    Pieces(const std::uint8_t* data, std::size_t size) : m_next(data), m_left(size) {}
    std::uint8_t octet() {
        if (m_left == 0) return 0xFF;
        --m_left;
        return *m_next++;
    }
    CSC_Profile_Base::Bytes file() {
        const std::size_t wanted = (std::size_t{octet()} << 8) | octet();
        const std::size_t length = std::min(wanted * 4, m_left);
        CSC_Profile_Base::Bytes out(m_next, m_next + length);
        m_next += length;
        m_left -= length;
        return out;
    }

private:
    const std::uint8_t* m_next;
    std::size_t m_left;
};

// A card whose selects and reads answer from the input and that sends nothing.
class FuzzCard : public CSC_Profile_Base {
public:
    explicit FuzzCard(Pieces& pieces) : m_pieces(pieces) {}
    CardResult SelectPath(const std::string&, bool, bool, bool, bool) override {
        return (m_pieces.octet() & 1) != 0 ? kivo::card::cFailed : kivo::card::cOk;
    }
    CardResult ReadFile(Bytes& out) override { return read(out); }
    CardResult ReadAllRecords(Bytes& out) override { return read(out); }
    std::uint32_t GetFileLen() override { return 0; }
    CardResult GetData(std::uint8_t, std::uint8_t, Bytes&, std::uint16_t) override { return kivo::card::cFailed; }
    CardResult SCSelectMF() override { return kivo::card::cFailed; }
    CardResult SCSelectDF(const std::uint8_t*, std::uint32_t) override { return kivo::card::cFailed; }
    CardResult SCSelectEF(const std::uint8_t*) override { return kivo::card::cFailed; }
    CardResult SCSignData(const std::string&, std::uint32_t, const std::uint8_t*, std::uint32_t, Bytes&,
                          std::uint32_t, std::uint8_t) override {
        return kivo::card::cFailed;
    }
    CardResult SCDecipher(const std::string&, std::uint32_t, const std::uint8_t*, std::uint32_t, Bytes&,
                          std::uint32_t, std::uint8_t) override {
        return kivo::card::cFailed;
    }
    void CreateModifyStruct() override {}
    void CreateVerifyStruct() override {}

private:
    CardResult read(Bytes& out) {
        const std::uint8_t result = m_pieces.octet() % 4;
        out = m_pieces.file();
        return result == 0 ? kivo::card::cOk : result == 1 ? kivo::card::cIncompatibleFile : kivo::card::cFailed;
    }
    Pieces& m_pieces;
};

namespace type = kivo::card::type;
constexpr std::int32_t kCardTypes[] = {0,
                                       type::cTcos20,
                                       type::cTcos30,
                                       type::cMicardo21,
                                       type::cCardOs43b,
                                       type::cStarCos30,
                                       type::cSecCos,
                                       type::cSetCos,
                                       type::cStarCos32,
                                       type::cSetCos442,
                                       type::cCardOs44,
                                       type::cStarCos34,
                                       type::cTcos30v2,
                                       type::cStarCos35,
                                       type::cCardOs50,
                                       type::cCardOs54,
                                       type::cStarCos37Dgn,
                                       type::cCardOs60,
                                       type::cStarCos37DTrust};

void check(bool condition) {
    if (!condition) __builtin_trap();
}

void parseAsEveryFile(const kivo::fuzz::ExactCopy& input) {
    (void)CPkcs15EfDir(input.data(), input.size());
    (void)CPkcs15DfOdf(input.data(), input.size());
    (void)CPkcs15DfTi(input.data(), input.size());
    (void)CPkcs15Cert::readDirectory(input.data(), input.size());
    (void)CPkcs15PrKey::readDirectory(input.data(), input.size());
    (void)CPkcs15Auth::readDirectory(input.data(), input.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        kivo::cardSettings().m_settings.m_traceEnabled = false;
        kivo::CardTrace::setSuppressed(true);
        return true;
    }();
    (void)quiet;
    if (size < 1) return 0;
    const kivo::fuzz::ExactCopy input(data + 1, size - 1);
    parseAsEveryFile(input);

    Pieces pieces(input.data(), input.size());
    FuzzCard card(pieces);
    card.SetCardType(kCardTypes[data[0] % std::size(kCardTypes)]);
    CPkcs15 pkcs15(card);
    pkcs15.setPinObjectPath([](const std::string& path) { return path; });
    pkcs15.readObjects();
    for (int kind = 0; kind < CPkcs15DfOdf::cKinds; ++kind) {
        check(pkcs15.odf().pathCount(kind) <= CPkcs15DfOdf::cMaxPathsPerKind);
    }
    for (std::size_t i = 0; i < pkcs15.exportCertCount(); ++i) {
        check(pkcs15.exportCert(i)->derLength() <= CPkcs15::cMaxFileLength);
    }

    Pieces detectionPieces(input.data(), input.size());
    FuzzCard detected(detectionPieces);
    detected.SetCardType(kCardTypes[data[0] % std::size(kCardTypes)]);
    const CSC_Profile layout(&detected);
    check(layout.CertCount() == static_cast<int>(layout.Certificates().size()));
    for (int code = 0; code < 4; ++code) (void)layout.IsHashAllowed(code);
    return 0;
}
