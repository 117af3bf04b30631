// AlgorithmIdentifier and the RSASSA-PSS parameters.
#pragma once

#include "asn1/Asn1Primitives.h"

#include <memory>

class CAsn1_AlgoIdent : public CAsn1Base {
public:
    CAsn1_AlgoIdent(const unsigned char* der, std::size_t length);
    // Takes ownership of both; null parameters become NULL (05 00).
    explicit CAsn1_AlgoIdent(std::unique_ptr<CAsn1_Oid> algorithm,
                             std::unique_ptr<CAsn1Base> parameters = nullptr);

    const CAsn1_Oid* algorithm() const { return m_algorithm.get(); }
    // CAsn1_NullTag, CAsn1_Oid, CAsn1_AlgoIdent_Params or CAsn1_Universal.
    const CAsn1Base* parameters() const { return m_parameters.get(); }

    // SEQUENCE { OID [parameters] }: absent or NULL parameters give a
    // CAsn1_NullTag, an OID a CAsn1_Oid, anything else a CAsn1_Universal
    // holding the element as it is.
    bool decode() override;
    // 30 { algorithm; parameters }; fails without algorithm.
    bool encode() override;

private:
    std::unique_ptr<CAsn1_Oid> m_algorithm;
    std::unique_ptr<CAsn1Base> m_parameters;
};

// RSASSA-PSS-params with hash, mask generation (MGF1 with a hash) and salt
// length; the trailer field keeps its default and is not written.
class CAsn1_AlgoIdent_Params : public CAsn1Base {
public:
    CAsn1_AlgoIdent_Params(std::unique_ptr<CAsn1_Oid> hashAlgorithm,
                           std::unique_ptr<CAsn1_Oid> maskGenAlgorithm,
                           std::unique_ptr<CAsn1_Oid> maskGenHash,
                           std::unique_ptr<CAsn1_Int> saltLength);

    const CAsn1_Oid* hashAlgorithm() const { return m_hashAlgorithm.get(); }
    const CAsn1_Oid* maskGenAlgorithm() const { return m_maskGenAlgorithm.get(); }
    const CAsn1_Oid* maskGenHash() const { return m_maskGenHash.get(); }
    const CAsn1_Int* saltLength() const { return m_saltLength.get(); }

    // The class is only built, never decoded: nothing to parse.
    bool decode() override;
    // 30 { A0 { 30 { hash } }; A1 { 30 { mgf; 30 { mgfHash } } };
    // A2 { INTEGER salt } }; fails when a member is missing.
    bool encode() override;

private:
    std::unique_ptr<CAsn1_Oid> m_hashAlgorithm;
    std::unique_ptr<CAsn1_Oid> m_maskGenAlgorithm;
    std::unique_ptr<CAsn1_Oid> m_maskGenHash;
    std::unique_ptr<CAsn1_Int> m_saltLength;
};
