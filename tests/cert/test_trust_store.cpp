// The process-wide trust store: loading a directory (name rules, content
// decides the format, no second read), the add mode, certificates from
// memory, clean-up, the issuer walk with its bounds, and the signature check.

#include "tests/cert/CertObjectTestUtil.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

#include <openssl/x509.h>

#include <cstring>
#include <string>
#include <vector>

using namespace kivo::test::certobject;
using kivo::test::CertOptions;
using kivo::test::KeyKind;
using kivo::test::X509Ptr;

namespace {

constexpr int kChainEnd = static_cast<int>(0x80010000u);

// The issuer copied out by sslGetNextChainCert, and its result.
struct NextCert {
    int result = 0;
    Bytes issuer;
};

NextCert nextChainCert(Bytes cert, const char* storePath) {
    std::vector<unsigned char> buffer(CCertInfo::kMaxChainCertLength, 0xAA);
    unsigned char* out = buffer.data();
    unsigned long outLength = 0;
    NextCert next;
    next.result = CCertInfo::sslGetNextChainCert(cert.data(), cert.size(), &out, &outLength, storePath);
    if (outLength <= buffer.size()) next.issuer.assign(buffer.begin(), buffer.begin() + static_cast<long>(outLength));
    return next;
}

int chainSize(Bytes cert, const char* storePath) {
    return CCertInfo::sslGetChainSize(cert.data(), cert.size(), storePath);
}

int checkSignature(Bytes cert, Bytes issuer) {
    return CCertInfo::sslCheckCertSignature(cert.data(), cert.size(), issuer.data(), issuer.size(), "unused");
}

}  // namespace

// ---- loading a directory ------------------------------------------------------------

TEST_F(TrustStoreTest, LoadsTheFourCertificateExtensionsOnly) {
    ScratchDir dir;
    std::vector<X509Ptr> certs;
    for (long serial = 1; serial <= 7; ++serial) certs.push_back(selfSigned("/CN=File " + std::to_string(serial), serial));
    dir.write("a.crt", pemOf(certs[0].get()));
    dir.write("b.pem", pemOf(certs[1].get()));
    dir.write("c.der", derBytes(certs[2].get()));
    dir.write("d.cer", derBytes(certs[3].get()));
    dir.write("e.txt", pemOf(certs[4].get()));
    dir.write(".hidden.pem", pemOf(certs[5].get()));
    dir.write("sub/f.pem", pemOf(certs[6].get()));  // subfolders are not entered

    EXPECT_EQ(CCertInfo::InitSSL_CAStore(dir.path().c_str(), false), 4);
    EXPECT_EQ(CCertInfo::m_storePath, dir.path());
    EXPECT_EQ(storedCertificates(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(storeHolds(certs[i].get())) << i;
    for (int i = 4; i < 7; ++i) EXPECT_FALSE(storeHolds(certs[i].get())) << i;
}

TEST_F(TrustStoreTest, ContentDecidesTheFormatAndJunkIsSkipped) {
    ScratchDir dir;
    auto pemInDer = selfSigned("/CN=PEM in .der", 11);
    auto derInPem = selfSigned("/CN=DER in .pem", 12);
    auto twice = selfSigned("/CN=Twice", 13);
    dir.write("pem-content.der", pemOf(pemInDer.get()));
    dir.write("der-content.pem", derBytes(derInPem.get()));
    dir.write("junk.pem", std::string("-----BEGIN CERTIFICATE-----\nnot base64\n"));
    dir.write("empty.cer", std::string());
    Bytes truncated = derBytes(twice.get());
    truncated.resize(truncated.size() / 2);
    dir.write("truncated.der", truncated);
    // The same certificate in two files is taken once.
    dir.write("twice.pem", pemOf(twice.get()));
    dir.write("twice.cer", derBytes(twice.get()));

    EXPECT_EQ(CCertInfo::InitSSL_CAStore(dir.path().c_str(), false), 3);
    EXPECT_TRUE(storeHolds(pemInDer.get()));
    EXPECT_TRUE(storeHolds(derInPem.get()));
    EXPECT_TRUE(storeHolds(twice.get()));

    X509Ptr read(CCertInfo::ReadX509(dir.file("pem-content.der"), false));
    ASSERT_TRUE(read);
    EXPECT_EQ(X509_cmp(read.get(), pemInDer.get()), 0);
    EXPECT_EQ(CCertInfo::ReadX509_PEM_Cert(dir.file("der-content.pem")), nullptr);
    X509Ptr der(CCertInfo::ReadX509_DER_Cert(dir.file("der-content.pem")));
    ASSERT_TRUE(der);
    EXPECT_EQ(X509_cmp(der.get(), derInPem.get()), 0);
    EXPECT_EQ(CCertInfo::ReadX509(dir.file("junk.pem"), false), nullptr);
    EXPECT_EQ(CCertInfo::ReadX509(dir.file("no-such-file"), false), nullptr);
    EXPECT_EQ(CCertInfo::ReadX509(dir.path(), false), nullptr);  // a folder
}

TEST_F(TrustStoreTest, SameDirectoryIsNotReadAgain) {
    ScratchDir dir;
    auto first = selfSigned("/CN=First", 21);
    dir.write("first.pem", pemOf(first.get()));
    ASSERT_EQ(CCertInfo::InitSSL_CAStore(dir.path().c_str(), false), 1);
    x509_store_st* loaded = CCertInfo::m_store;

    auto later = selfSigned("/CN=Later", 22);
    dir.write("later.pem", pemOf(later.get()));
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(dir.path().c_str(), false), 0);
    EXPECT_EQ(CCertInfo::m_store, loaded);
    EXPECT_EQ(storedCertificates(), 1);
    EXPECT_FALSE(storeHolds(later.get()));

    // The same folder written differently is another path: a new store.
    EXPECT_EQ(CCertInfo::InitSSL_CAStore((dir.path() + "/").c_str(), false), 2);
    EXPECT_EQ(CCertInfo::m_storePath, dir.path() + "/");
    EXPECT_TRUE(storeHolds(later.get()));

    // After a clean-up the folder is read again.
    CCertInfo::CleanUpSSL_CAStore();
    EXPECT_EQ(CCertInfo::m_store, nullptr);
    EXPECT_EQ(CCertInfo::m_storePath, "unset");
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(dir.path().c_str(), false), 2);
    CCertInfo::CleanUpSSL_CAStore();
    CCertInfo::CleanUpSSL_CAStore();  // nothing left to free
    EXPECT_EQ(CCertInfo::m_storePath, "unset");
}

TEST_F(TrustStoreTest, AddModeCountsCrtFilesWithoutAddingThem) {
    ScratchDir loadedDir;
    ScratchDir extraDir;
    auto base = selfSigned("/CN=Base", 31);
    auto crt = selfSigned("/CN=Counted only", 32);
    auto pem = selfSigned("/CN=Added", 33);
    auto cer = selfSigned("/CN=Added too", 34);
    loadedDir.write("base.pem", pemOf(base.get()));
    extraDir.write("counted.crt", pemOf(crt.get()));
    extraDir.write("added.pem", pemOf(pem.get()));
    extraDir.write("added.cer", derBytes(cer.get()));

    // Before any store exists only the "*.crt" files are counted.
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(extraDir.path().c_str(), true), 1);
    EXPECT_EQ(CCertInfo::m_store, nullptr);
    EXPECT_EQ(CCertInfo::m_storePath, "unset");

    ASSERT_EQ(CCertInfo::InitSSL_CAStore(loadedDir.path().c_str(), false), 1);
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(extraDir.path().c_str(), true), 3);
    EXPECT_EQ(CCertInfo::m_storePath, loadedDir.path());
    EXPECT_EQ(storedCertificates(), 3);
    EXPECT_TRUE(storeHolds(base.get()));
    EXPECT_TRUE(storeHolds(pem.get()));
    EXPECT_TRUE(storeHolds(cer.get()));
    EXPECT_FALSE(storeHolds(crt.get()));
    // Added once already: now only the count-only file is taken.
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(extraDir.path().c_str(), true), 1);
}

TEST_F(TrustStoreTest, NullPathIsRefusedWithoutTouchingTheStore) {
    {
        kivo::test::LogCapture capture(CCertInfo::m_logger);
        EXPECT_EQ(CCertInfo::InitSSL_CAStore(nullptr, false), 0);
        const auto messages = capture.messages();
        ASSERT_GE(messages.size(), 2u);
        EXPECT_EQ(messages.front(), "entering InitSSL_CAStore");
        EXPECT_EQ(messages.back(), "leaving InitSSL_CAStore: 0");
    }
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(nullptr, true), 0);
    EXPECT_EQ(CCertInfo::m_store, nullptr);
    EXPECT_EQ(CCertInfo::m_storePath, "unset");

    ScratchDir dir;
    auto cert = selfSigned("/CN=Kept", 41);
    dir.write("kept.pem", pemOf(cert.get()));
    ASSERT_EQ(CCertInfo::InitSSL_CAStore(dir.path().c_str(), false), 1);
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(nullptr, false), 0);
    EXPECT_EQ(CCertInfo::m_storePath, dir.path());
    EXPECT_TRUE(storeHolds(cert.get()));

    EXPECT_EQ(CCertInfo::AddDir2Store(dir.path(), nullptr, false), 0);
    EXPECT_FALSE(CCertInfo::AddCert2Store(dir.file("kept.pem"), nullptr, false));
    EXPECT_TRUE(CCertInfo::AddCert2Store(dir.file("kept.pem"), nullptr, true));
}

// ---- certificates from memory ---------------------------------------------------------

TEST_F(TrustStoreTest, CertificatesFromMemory) {
    auto cert = selfSigned("/CN=From memory", 51);
    Bytes der = derBytes(cert.get());
    EXPECT_FALSE(CCertInfo::AddCertToSSL_CAStore(nullptr, 10));
    EXPECT_EQ(CCertInfo::m_store, nullptr);

    EXPECT_TRUE(CCertInfo::AddCertToSSL_CAStore(der.data(), der.size()));
    EXPECT_EQ(CCertInfo::m_storePath, "set");
    EXPECT_TRUE(storeHolds(cert.get()));
    EXPECT_FALSE(CCertInfo::AddCertToSSL_CAStore(der.data(), der.size()));  // held already
    Bytes broken(der.begin(), der.begin() + 40);
    EXPECT_FALSE(CCertInfo::AddCertToSSL_CAStore(broken.data(), broken.size()));
    EXPECT_EQ(storedCertificates(), 1);

    // Loading a directory replaces the store; what came from memory is gone.
    ScratchDir dir;
    auto fromFile = selfSigned("/CN=From file", 52);
    dir.write("file.pem", pemOf(fromFile.get()));
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(dir.path().c_str(), false), 1);
    EXPECT_EQ(CCertInfo::m_storePath, dir.path());
    EXPECT_FALSE(storeHolds(cert.get()));

    // Added to a loaded store, the path stays.
    EXPECT_TRUE(CCertInfo::AddCertToSSL_CAStore(der.data(), der.size()));
    EXPECT_EQ(CCertInfo::m_storePath, dir.path());
    EXPECT_EQ(storedCertificates(), 2);
}

// ---- the issuer walk ------------------------------------------------------------------

TEST_F(TrustStoreTest, ChainSizesAndIssuers) {
    Chain chain;
    ScratchDir dir;
    dir.write("root.pem", pemOf(chain.root.get()));
    dir.write("intermediate.der", derBytes(chain.intermediate.get()));
    const char* path = dir.path().c_str();

    EXPECT_EQ(chainSize(derBytes(chain.leaf.get()), path), 2);
    EXPECT_EQ(chainSize(derBytes(chain.intermediate.get()), path), 1);
    EXPECT_EQ(chainSize(derBytes(chain.root.get()), path), 0);

    NextCert next = nextChainCert(derBytes(chain.leaf.get()), path);
    EXPECT_EQ(next.result, 0);
    EXPECT_EQ(next.issuer, derBytes(chain.intermediate.get()));
    next = nextChainCert(derBytes(chain.intermediate.get()), path);
    EXPECT_EQ(next.result, 0);
    EXPECT_EQ(next.issuer, derBytes(chain.root.get()));
    // A self-signed root ends the chain and is copied out itself.
    next = nextChainCert(derBytes(chain.root.get()), path);
    EXPECT_EQ(next.result, kChainEnd);
    EXPECT_EQ(next.issuer, derBytes(chain.root.get()));

    // A null path walks the store as loaded.
    EXPECT_EQ(chainSize(derBytes(chain.leaf.get()), nullptr), 2);
    // An issuer that is not in the store.
    auto stranger = selfSigned("/CN=Stranger", 61);
    EXPECT_EQ(nextChainCert(derBytes(stranger.get()), path).result, kChainEnd);
    EXPECT_EQ(chainSize(derBytes(stranger.get()), path), 0);

    // Another folder without the chain: nothing above the leaf.
    ScratchDir empty;
    EXPECT_EQ(chainSize(derBytes(chain.leaf.get()), empty.path().c_str()), 0);
    EXPECT_EQ(CCertInfo::m_storePath, empty.path());
}

TEST_F(TrustStoreTest, WalkWithoutStoreOrWithBadInput) {
    Chain chain;
    Bytes leaf = derBytes(chain.leaf.get());
    // Nothing loaded and no path: no issuer can be found.
    EXPECT_EQ(nextChainCert(leaf, nullptr).result, kChainEnd);
    EXPECT_EQ(chainSize(leaf, nullptr), 0);

    Bytes junk = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(nextChainCert(junk, nullptr).result, -56);
    unsigned long length = 0;
    unsigned char* noBuffer = nullptr;
    EXPECT_EQ(CCertInfo::sslGetNextChainCert(leaf.data(), leaf.size(), &noBuffer, &length, nullptr), -56);
    EXPECT_EQ(CCertInfo::sslGetNextChainCert(leaf.data(), leaf.size(), nullptr, &length, nullptr), -56);
    EXPECT_EQ(CCertInfo::sslGetChainSize(nullptr, 100, nullptr), 0);
}

TEST_F(TrustStoreTest, CertificatesBeyondTheBufferBoundAreRefused) {
    auto rootKey = kivo::test::generateKey(KeyKind::EcP384);
    CertOptions bigOptions;
    bigOptions.subject = "/CN=Big Root";
    bigOptions.subjectKey = rootKey.get();
    bigOptions.isCa = true;
    bigOptions.extensions = {{"nsComment", std::string(12000, 'x')}};
    auto bigRoot = kivo::test::makeCertificate(bigOptions);
    ASSERT_GT(derBytes(bigRoot.get()).size(), CCertInfo::kMaxChainCertLength);
    auto leaf = issued("/CN=Under Big Root", kivo::test::generateKey(KeyKind::EcP256).get(), bigRoot.get(),
                       rootKey.get(), 2, false);

    Bytes bigDer = derBytes(bigRoot.get());
    ASSERT_TRUE(CCertInfo::AddCertToSSL_CAStore(bigDer.data(), bigDer.size()));
    std::vector<unsigned char> buffer(CCertInfo::kMaxChainCertLength, 0xAA);
    unsigned char* out = buffer.data();
    unsigned long outLength = 0;
    Bytes leafDer = derBytes(leaf.get());
    EXPECT_EQ(CCertInfo::sslGetNextChainCert(leafDer.data(), leafDer.size(), &out, &outLength, nullptr), -56);
    EXPECT_EQ(outLength, bigDer.size());  // the length it would need
    EXPECT_EQ(buffer, std::vector<unsigned char>(CCertInfo::kMaxChainCertLength, 0xAA));
    EXPECT_EQ(chainSize(leafDer, nullptr), 0);
    // A starting certificate beyond the work buffers is not walked.
    EXPECT_EQ(chainSize(bigDer, nullptr), 0);
}

TEST_F(TrustStoreTest, CrossCertificateCycleEnds) {
    // A is issued by B and B by A; the walk from a leaf under A stops when
    // it meets A again.
    auto keyA = kivo::test::generateKey(KeyKind::EcP256);
    auto keyB = kivo::test::generateKey(KeyKind::EcP384);
    auto seedB = issued("/CN=Cross B", keyB.get(), nullptr, nullptr, 70);
    auto certA = issued("/CN=Cross A", keyA.get(), seedB.get(), keyB.get(), 71);
    auto certB = issued("/CN=Cross B", keyB.get(), certA.get(), keyA.get(), 72);
    auto leaf = issued("/CN=Cross Leaf", kivo::test::generateKey(KeyKind::Rsa2048).get(), certA.get(),
                       keyA.get(), 73, false);

    for (X509* cert : {certA.get(), certB.get()}) {
        Bytes der = derBytes(cert);
        ASSERT_TRUE(CCertInfo::AddCertToSSL_CAStore(der.data(), der.size()));
    }
    EXPECT_EQ(chainSize(derBytes(leaf.get()), nullptr), 2);
}

// ---- the signature check ----------------------------------------------------------------

TEST_F(TrustStoreTest, SignatureCheck) {
    Chain chain;
    Bytes leaf = derBytes(chain.leaf.get());
    EXPECT_EQ(checkSignature(leaf, derBytes(chain.intermediate.get())), 0);
    EXPECT_EQ(checkSignature(derBytes(chain.intermediate.get()), derBytes(chain.root.get())), 0);
    EXPECT_EQ(checkSignature(derBytes(chain.root.get()), derBytes(chain.root.get())), 0);
    EXPECT_EQ(checkSignature(leaf, derBytes(chain.root.get())), 1);

    // Flip one octet of the signature value at the end of the certificate.
    Bytes tampered = leaf;
    tampered[tampered.size() - 5] ^= 0x01;
    EXPECT_EQ(checkSignature(tampered, derBytes(chain.intermediate.get())), 1);

    Bytes junk = {0x30, 0x03, 0x02, 0x01, 0x01};
    EXPECT_EQ(checkSignature(junk, derBytes(chain.intermediate.get())), -56);
    EXPECT_EQ(checkSignature(leaf, junk), -56);
    EXPECT_EQ(CCertInfo::sslCheckCertSignature(nullptr, 0, nullptr, 0, nullptr), -56);
}
