// The process-wide trust store: loading a directory (name rules, content
// decides the format, no second read), the add mode, certificates from
// memory, the issuer walk with its bounds, and the signature check.

#include "tests/cert/CertObjectTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace kivo::test::certobject;
using kivo::test::KeyKind;
using kivo::test::TempDir;
using kivo::test::X509Ptr;

namespace {

constexpr int kChainEnd = static_cast<int>(0x80010000u);

std::size_t storedCount() {
    return CCertInfo::m_store ? static_cast<std::size_t>(sk_X509_OBJECT_num(X509_STORE_get0_objects(CCertInfo::m_store))) : 0;
}

bool storeHolds(X509* cert) {
    STACK_OF(X509_OBJECT)* objects = CCertInfo::m_store ? X509_STORE_get0_objects(CCertInfo::m_store) : nullptr;
    for (int i = 0; i < (objects ? sk_X509_OBJECT_num(objects) : 0); ++i) {
        if (X509_cmp(X509_OBJECT_get0_X509(sk_X509_OBJECT_value(objects, i)), cert) == 0) return true;
    }
    return false;
}

bool addToStore(X509* cert) {
    Bytes der = derBytes(cert);
    return CCertInfo::AddCertToSSL_CAStore(der.data(), der.size());
}

int chainSize(X509* cert, const char* storePath) {
    Bytes der = derBytes(cert);
    return CCertInfo::sslGetChainSize(der.data(), der.size(), storePath);
}

// The result of sslGetNextChainCert and the issuer it copied out.
std::pair<int, Bytes> nextChainCert(Bytes cert, const char* storePath) {
    Bytes buffer(CCertInfo::kMaxChainCertLength, 0xAA);
    unsigned char* out = buffer.data();
    unsigned long outLength = 0;
    const int result = CCertInfo::sslGetNextChainCert(cert.data(), cert.size(), &out, &outLength, storePath);
    buffer.resize(std::min<std::size_t>(outLength, buffer.size()));
    return {result, buffer};
}

class TrustStoreTest : public ::testing::Test {
protected:
    void SetUp() override { CCertInfo::CleanUpSSL_CAStore(); }
    void TearDown() override { CCertInfo::CleanUpSSL_CAStore(); }
};

}  // namespace

TEST_F(TrustStoreTest, LoadingADirectory) {
    TempDir dir;
    const std::string path = dir.path().string();
    std::vector<X509Ptr> certs;
    for (long serial = 1; serial <= 7; ++serial) certs.push_back(selfSigned("/CN=File " + std::to_string(serial), serial));
    // Four extensions count; the content decides the format; the same
    // certificate twice is taken once; hidden files and subfolders not.
    write(dir, "a.crt", pemOf(certs[0].get()));
    write(dir, "b.der", pemOf(certs[1].get()));
    write(dir, "c.pem", derBytes(certs[2].get()));
    write(dir, "d.cer", derBytes(certs[2].get()));
    write(dir, "e.txt", pemOf(certs[3].get()));
    write(dir, ".hidden.pem", pemOf(certs[4].get()));
    write(dir, "sub/f.pem", pemOf(certs[5].get()));
    write(dir, "junk.pem", std::string("-----BEGIN CERTIFICATE-----\nnot base64\n"));
    write(dir, "empty.cer", std::string());
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(path.c_str(), false), 3);
    EXPECT_EQ(CCertInfo::m_storePath, path);
    EXPECT_EQ(storedCount(), 3u);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(storeHolds(certs[i].get()), i < 3) << i;
    EXPECT_EQ(CCertInfo::ReadX509_PEM_Cert(dir.file("c.pem")), nullptr);
    EXPECT_EQ(CCertInfo::ReadX509(dir.file("junk.pem"), false), nullptr);

    // The same path is not read again; written differently it is another
    // path; after a clean-up it is read again; a null path changes nothing.
    write(dir, "later.pem", pemOf(certs[6].get()));
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(path.c_str(), false), 0);
    EXPECT_FALSE(storeHolds(certs[6].get()));
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(nullptr, false), 0);
    EXPECT_EQ(CCertInfo::InitSSL_CAStore((path + "/").c_str(), false), 4);
    EXPECT_TRUE(storeHolds(certs[6].get()));
    CCertInfo::CleanUpSSL_CAStore();
    EXPECT_EQ(CCertInfo::m_store, nullptr);
    EXPECT_EQ(CCertInfo::m_storePath, "unset");
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(path.c_str(), false), 4);
}

TEST_F(TrustStoreTest, AddModeAndCertificatesFromMemory) {
    TempDir loadedDir;
    TempDir extraDir;
    auto base = selfSigned("/CN=Base", 31);
    auto crt = selfSigned("/CN=Counted only", 32);
    auto pem = selfSigned("/CN=Added", 33);
    write(loadedDir, "base.pem", pemOf(base.get()));
    write(extraDir, "counted.crt", pemOf(crt.get()));
    write(extraDir, "added.pem", pemOf(pem.get()));
    // Before any store exists only the "*.crt" files are counted; later
    // they are counted without being added.
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(extraDir.path().c_str(), true), 1);
    EXPECT_EQ(CCertInfo::m_store, nullptr);
    ASSERT_EQ(CCertInfo::InitSSL_CAStore(loadedDir.path().c_str(), false), 1);
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(extraDir.path().c_str(), true), 2);
    EXPECT_EQ(CCertInfo::m_storePath, loadedDir.path().string());
    EXPECT_TRUE(storeHolds(pem.get()));
    EXPECT_FALSE(storeHolds(crt.get()));
    EXPECT_EQ(CCertInfo::InitSSL_CAStore(extraDir.path().c_str(), true), 1);

    // From memory: added once, the path stays; without a store one is made.
    auto memory = selfSigned("/CN=From memory", 51);
    EXPECT_TRUE(addToStore(memory.get()));
    EXPECT_FALSE(addToStore(memory.get()));
    EXPECT_EQ(CCertInfo::m_storePath, loadedDir.path().string());
    EXPECT_EQ(storedCount(), 3u);
    CCertInfo::CleanUpSSL_CAStore();
    EXPECT_FALSE(CCertInfo::AddCertToSSL_CAStore(nullptr, 10));
    Bytes der = derBytes(memory.get());
    EXPECT_FALSE(CCertInfo::AddCertToSSL_CAStore(der.data(), 40));
    EXPECT_TRUE(addToStore(memory.get()));
    EXPECT_EQ(CCertInfo::m_storePath, "set");
}

TEST_F(TrustStoreTest, IssuerWalkAndItsBounds) {
    Chain chain;
    TempDir dir;
    write(dir, "root.pem", pemOf(chain.root.get()));
    write(dir, "intermediate.der", derBytes(chain.intermediate.get()));
    const std::string path = dir.path().string();
    const Bytes leaf = derBytes(chain.leaf.get()), intermediate = derBytes(chain.intermediate.get()),
                root = derBytes(chain.root.get());
    EXPECT_EQ(nextChainCert(leaf, nullptr).first, kChainEnd);  // nothing loaded
    EXPECT_EQ(chainSize(chain.leaf.get(), path.c_str()), 2);
    EXPECT_EQ(chainSize(chain.root.get(), path.c_str()), 0);
    EXPECT_EQ(chainSize(chain.leaf.get(), nullptr), 2);  // the store as loaded
    // A self-signed root ends the chain and is copied out itself.
    EXPECT_EQ(nextChainCert(leaf, nullptr), std::make_pair(0, intermediate));
    EXPECT_EQ(nextChainCert(intermediate, nullptr), std::make_pair(0, root));
    EXPECT_EQ(nextChainCert(root, nullptr), std::make_pair(kChainEnd, root));
    EXPECT_EQ(nextChainCert({0x30, 0x03, 0x02, 0x01, 0x01}, nullptr).first, -56);
    EXPECT_EQ(CCertInfo::sslGetChainSize(nullptr, 100, nullptr), 0);

    // A is issued by B and B by A: the walk stops when it meets A again.
    auto keyA = kivo::test::generateKey(KeyKind::EcP256);
    auto keyB = kivo::test::generateKey(KeyKind::EcP384);
    auto seedB = issued("/CN=Cross B", keyB.get(), nullptr, nullptr, 70);
    auto certA = issued("/CN=Cross A", keyA.get(), seedB.get(), keyB.get(), 71);
    auto certB = issued("/CN=Cross B", keyB.get(), certA.get(), keyA.get(), 72);
    ASSERT_TRUE(addToStore(certA.get()) && addToStore(certB.get()));
    EXPECT_EQ(chainSize(issued("/CN=Cross Leaf", keyB.get(), certA.get(), keyA.get(), 73, false).get(), nullptr), 2);

    // An issuer beyond the copy-out bound: refused, the needed length told.
    kivo::test::CertOptions big;
    big.subject = "/CN=Big Root";
    big.subjectKey = keyA.get();
    big.isCa = true;
    big.extensions = {{"nsComment", std::string(12000, 'x')}};
    auto bigRoot = kivo::test::makeCertificate(big);
    ASSERT_TRUE(addToStore(bigRoot.get()));
    auto underBig = issued("/CN=Under Big Root", keyB.get(), bigRoot.get(), keyA.get(), 2, false);
    const auto [result, copied] = nextChainCert(derBytes(underBig.get()), nullptr);
    EXPECT_EQ(result, -56);
    EXPECT_EQ(copied.size(), CCertInfo::kMaxChainCertLength);
    EXPECT_EQ(copied, Bytes(CCertInfo::kMaxChainCertLength, 0xAA));
    EXPECT_EQ(chainSize(bigRoot.get(), nullptr), 0);
}

TEST_F(TrustStoreTest, SignatureCheck) {
    Chain chain;
    const Bytes leaf = derBytes(chain.leaf.get()), intermediate = derBytes(chain.intermediate.get()),
                root = derBytes(chain.root.get()), junk = {0x30, 0x03, 0x02, 0x01, 0x01};
    Bytes tampered = leaf;
    tampered[tampered.size() - 5] ^= 0x01;  // in the signature value
    const std::pair<const Bytes*, const Bytes*> pairs[] = {{&leaf, &intermediate}, {&intermediate, &root}, {&root, &root},
                                                           {&leaf, &root}, {&tampered, &intermediate},
                                                           {&junk, &intermediate}, {&leaf, &junk}};
    const int results[] = {0, 0, 0, 1, 1, -56, -56};
    for (std::size_t i = 0; i < std::size(results); ++i) {
        Bytes cert = *pairs[i].first, issuer = *pairs[i].second;
        EXPECT_EQ(CCertInfo::sslCheckCertSignature(cert.data(), cert.size(), issuer.data(), issuer.size(), "unused"),
                  results[i])
            << i;
    }
}
