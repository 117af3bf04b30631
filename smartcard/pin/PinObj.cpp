#include "smartcard/pin/PinObj.h"

#include "asn1/Asn1Der.h"

CPinObj::CPinObj(std::string path, std::string altPathHex, std::uint8_t reference)
    : m_path(std::move(path)), m_altPathHex(std::move(altPathHex)), m_reference(reference) {
    std::vector<unsigned char> bytes;
    if (HexToBytes(m_altPathHex, &bytes)) m_altPath.assign(bytes.begin(), bytes.end());
}

CPinObj::~CPinObj() = default;

CPinObj::CPinObj(const CPinObj& other)
    : m_path(other.m_path),
      m_altPathHex(other.m_altPathHex),
      m_altPath(other.m_altPath),
      m_reference(other.m_reference),
      m_minLength(other.m_minLength),
      m_maxLength(other.m_maxLength),
      m_pinType(other.m_pinType),
      m_unblockPin(other.m_unblockPin ? std::make_unique<CPinObj>(*other.m_unblockPin) : nullptr),
      m_pinFlags(other.m_pinFlags),
      m_storedLength(other.m_storedLength),
      m_triesLeft(other.m_triesLeft),
      m_verified(other.m_verified),
      m_authId(other.m_authId),
      m_usePinPad(other.m_usePinPad) {}

CPinObj& CPinObj::operator=(const CPinObj& other) {
    if (this != &other) *this = CPinObj(other);
    return *this;
}

void CPinObj::SetUnblockPin(const CPinObj& unblock) {
    m_unblockPin = std::make_unique<CPinObj>(unblock);
}
