# DER classes with a decoder, each fuzzed by asn1_class_driver.cpp.
set(KIVO_FUZZ_CLASSES
    CAsn1_Int CAsn1_Oid CAsn1_OctetString CAsn1_BitString CAsn1_BmpString
    CAsn1_UtcTime CAsn1_Universal
    CAsn1_AlgoIdent CAsn1_Attribute CAsn1_AuthAttributes CAsn1_UnauthAttributes
    CAsn1_PublicKeyRSA CAsn1_PublicKeyEC CAsn1_PublicKey CAsn1_Cert
    CAsn1_IssuerAndSerial CAsn1_IssuerSerial
    CAsn1_KeyTransportRecipientInfo CAsn1_RecipientInfo CAsn1_OriginatorInfo
    CAsn1_Pkcs7_Ed CAsn1_ContentInfo CAsn1_SignerInfo CAsn1_Pkcs7_Sd CAsn1_Pkcs7
    CACHE INTERNAL "")
