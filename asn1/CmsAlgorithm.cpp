// AlgorithmIdentifier and RSASSA-PSS-params.

#include "asn1/CmsAlgorithm.h"

using kivo::asn1::Id;
using kivo::asn1::tagNumber;

using kivo::asn1::DerContent;

namespace {
}  // namespace

CAsn1_AlgoIdent::CAsn1_AlgoIdent(const unsigned char* der, std::size_t length) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] { return copyBytes(der, length); })) return;
    decode();
}

CAsn1_AlgoIdent::CAsn1_AlgoIdent(std::unique_ptr<CAsn1_Oid> algorithm,
                                 std::unique_ptr<CAsn1Base> parameters)
    : m_algorithm(std::move(algorithm)), m_parameters(std::move(parameters)) {
    tag = tagNumber(Id::Sequence);
    if (!guarded([&] {
            if (!m_parameters) m_parameters = std::make_unique<CAsn1_NullTag>();
            return true;
        })) {
        return;
    }
    encode();
}

bool CAsn1_AlgoIdent::decode() {
    return guarded([&] {
        m_algorithm.reset();
        m_parameters.reset();
        if (!ownElement(Id::Sequence, nullptr)) return false;
        resetCursor();
        if (!cursorEnter() || !expect(Id::Oid)) return false;
        m_algorithm = std::make_unique<CAsn1_Oid>(cursor.ptr, cursor.size);
        if (m_algorithm->getError() != 0) return false;
        if (cursorAtEnd()) {
            m_parameters = std::make_unique<CAsn1_NullTag>();
            return true;
        }
        if (!cursorNext()) return false;
        if (cursorAt(Id::Null) && cursor.size == 2) {
            m_parameters = std::make_unique<CAsn1_NullTag>();
        } else if (cursorAt(Id::Oid)) {
            m_parameters = std::make_unique<CAsn1_Oid>(cursor.ptr, cursor.size);
        } else {
            m_parameters = std::make_unique<CAsn1_Universal>(cursor.ptr, cursor.size);
        }
        return cursorAtEnd();  // nothing follows the parameters
    });
}

bool CAsn1_AlgoIdent::encode() {
    return guarded([&] {
        DerContent content;
        if (!content.add(m_algorithm.get())) return false;
        content.addOptional(m_parameters.get());
        return storeElement(Id::Sequence, content.octets());
    });
}

CAsn1_AlgoIdent_Params::CAsn1_AlgoIdent_Params(std::unique_ptr<CAsn1_Oid> hashAlgorithm,
                                               std::unique_ptr<CAsn1_Oid> maskGenAlgorithm,
                                               std::unique_ptr<CAsn1_Oid> maskGenHash,
                                               std::unique_ptr<CAsn1_Int> saltLength)
    : m_hashAlgorithm(std::move(hashAlgorithm)),
      m_maskGenAlgorithm(std::move(maskGenAlgorithm)),
      m_maskGenHash(std::move(maskGenHash)),
      m_saltLength(std::move(saltLength)) {
    tag = tagNumber(Id::Sequence);
    encode();
}

bool CAsn1_AlgoIdent_Params::decode() { return true; }

bool CAsn1_AlgoIdent_Params::encode() {
    return guarded([&] {
        // The hash AlgorithmIdentifiers inside carry no parameters.
        DerContent hash;
        if (!hash.add(m_hashAlgorithm.get())) return false;
        DerContent hashAlgorithm;
        if (!hashAlgorithm.addElement(Id::Sequence, hash)) return false;

        DerContent mgfHash;
        if (!mgfHash.add(m_maskGenHash.get())) return false;
        DerContent mgf;
        if (!mgf.add(m_maskGenAlgorithm.get()) || !mgf.addElement(Id::Sequence, mgfHash)) return false;
        DerContent maskGen;
        if (!maskGen.addElement(Id::Sequence, mgf)) return false;

        DerContent salt;
        if (!salt.add(m_saltLength.get())) return false;

        DerContent content;
        if (!content.addElement(Id::Context0, hashAlgorithm) ||
            !content.addElement(Id::Context1, maskGen) || !content.addElement(Id::Context2, salt)) {
            return false;
        }
        return storeElement(Id::Sequence, content.octets());
    });
}
