#include "smartcard/profiles/SC_Profile_CardOS50.h"

#include "smartcard/transport/CardTrace.h"

using kivo::CardTrace;
namespace card = kivo::card;

void CSC_Profile_CardOS50::InitPinLengths() {
    m_pinMinLength = 6;
    m_pinMaxLength = 12;
}

bool CSC_Profile_CardOS50::IsKeyTypeAllowed(std::int32_t keyType, std::int32_t usage) {
    if (keyType == 1) return usage == 1;
    return usage >= 0 && usage <= 3;
}

CardResult CSC_Profile_CardOS50::BuildSignBuffer(std::uint32_t hashAlgorithm, std::uint32_t keyBits,
                                                 const std::uint8_t* hash, std::uint32_t hashLength,
                                                 Bytes& out, bool pad) {
    const TraceScope trace(*this, "BuildSignBuffer");
    if ((hashAlgorithm & cAlgFlagPss) == 0) {
        return DigestInfoSignBuffer(hashAlgorithm, keyBits, hash, hashLength, out, pad);
    }
    out.clear();
    if (hash == nullptr || hashLength == 0) return card::cFailed;
    out.assign(hash, hash + hashLength);
    return card::cOk;
}

CardResult CSC_Profile_CardOS50::SCSignData(const std::string&, std::uint32_t keyBits,
                                            const std::uint8_t* data, std::uint32_t dataLength,
                                            Bytes& signature, std::uint32_t algorithm,
                                            std::uint8_t keyReference) {
    const TraceScope trace(*this, "SCSignData");
    if (data == nullptr || dataLength == 0 || dataLength > 0xFF) return card::cFailed;
    const CardResult result = RestoreEnvironment(keyReference);
    if (result != card::cOk) return result;
    if ((algorithm & cAlgFlagPss) != 0) CardTrace::write(CardTrace::cLevelInfo, "using RSAPSS\n");
    Bytes input;
    if (BuildSignBuffer(algorithm, keyBits, data, dataLength, input, false) != card::cOk) {
        return card::cFailed;
    }
    return ComputeSignature(input, true, keyBits, signature);
}
