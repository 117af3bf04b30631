// The file cache behind the trust store and the CRL directory: a file that
// changed, was replaced, vanished or became unreadable gives the verdict it
// would give without a cache, on the very next call, also while other
// threads verify.

#include "tests/verify/VerifyTestUtil.h"

#include "src/frame/OpenSSLHandles.h"
#include "src/verify/VerifyFileCache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <thread>

namespace kivo::test::verify {
namespace {

class FileCacheTest : public VerifyTest {
protected:
    void SetUp() override {
        m_ca = longLivedCa("/O=Kivo Cache/CN=Trusted CA");
        m_other = longLivedCa("/O=Kivo Cache/CN=Another CA");
        m_signer = signerBy(m_ca, "/O=Kivo Cache/CN=Signer", kSerial).make();
        m_signature = cmsSign(m_signer, m_content);
        m_trust = m_dir.file("trust.pem");
        m_empty = m_dir.folder("empty");
    }

    // Writes `certificates` to `path` through a new file and a rename, or
    // in place (same inode).
    void writeTrust(const std::string& path, const std::vector<X509*>& certificates, bool inPlace) const {
        const std::string target = inPlace ? path : path + ".new";
        std::error_code ignored;
        if (!inPlace) fs::remove(target, ignored);
        if (inPlace) writeText(target, "");
        appendPem(target, certificates);
        if (!inPlace) fs::rename(target, path);
    }

    unsigned int chain(const std::string& caFile) const {
        return Verification(m_signature).content(m_content).checks(0x04).at(m_now).caFile(caFile).caPath(m_empty).run();
    }

    unsigned int revocation(const std::string& directory) const {
        return Verification(m_signature).content(m_content).crlDirectory(directory).at(m_now).caFile(m_trust).run();
    }

    // OpenSSL's verdict on `signer`'s chain with the trust file loaded by
    // OpenSSL's own file loader.
    bool opensslTrusts(X509* signer) const {
        kivo::StorePtr store(X509_STORE_new());
        kivo::StoreContextPtr context(X509_STORE_CTX_new());
        const bool ok = store && context && X509_STORE_load_file(store.get(), m_trust.c_str()) == 1 &&
                        X509_STORE_CTX_init(context.get(), store.get(), signer, nullptr) == 1 &&
                        (X509_STORE_CTX_set_time(context.get(), 0, m_now), X509_verify_cert(context.get()) == 1);
        ERR_clear_error();
        return ok;
    }

    static constexpr long kSerial = 0x6161;
    const Bytes m_content = randomBytes(256, 61);
    Party m_ca, m_other, m_signer;
    Bytes m_signature;
    std::string m_trust, m_empty;
};

TEST_F(FileCacheTest, TrustFileChangesAreSeenOnTheNextCall) {
    writeTrust(m_trust, {m_other.cert.get()}, false);
    EXPECT_EQ(chain(m_trust), kNoTrustedChain);
    EXPECT_EQ(chain(m_trust), kNoTrustedChain) << "from the cache";
    writeTrust(m_trust, {m_other.cert.get(), m_ca.cert.get()}, false);
    EXPECT_EQ(chain(m_trust), kValid) << "replaced with the root added";
    writeTrust(m_trust, {m_other.cert.get()}, true);
    EXPECT_EQ(chain(m_trust), kNoTrustedChain) << "rewritten in place without the root";
    writeTrust(m_trust, {m_ca.cert.get()}, true);
    EXPECT_EQ(chain(m_trust), kValid) << "rewritten in place with only the root";

    // A trust file that cannot be opened fails as described, and works
    // again once it can.
    const std::string loop = m_dir.file("loop.pem");
    ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
    EXPECT_EQ(chain(loop), kNoTrustedChain);
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(m_trust.c_str(), 0), 0);
        EXPECT_EQ(chain(m_trust), kNoTrustedChain) << "unreadable";
        ASSERT_EQ(::chmod(m_trust.c_str(), 0600), 0);
    }
    EXPECT_EQ(chain(m_trust), kValid);
    fs::remove(m_trust);
    EXPECT_EQ(chain(m_trust), kNoTrustedChain) << "vanished";
}

TEST_F(FileCacheTest, CrlDirectoryChangesAreSeenOnTheNextCall) {
    writeTrust(m_trust, {m_ca.cert.get()}, false);
    const std::string directory = m_dir.folder("crls");
    writeCrlDer(directory + "/a.crl", makeCrl(m_ca, {{0x99, m_now - 5 * kDay}}).get());
    EXPECT_EQ(revocation(directory), kValid);
    EXPECT_EQ(revocation(directory), kValid) << "from the cache";

    writeCrlDer(directory + "/b.crl", makeCrl(m_ca, {{kSerial, m_now - 5 * kDay}}).get());
    EXPECT_EQ(revocation(directory), kRevoked) << "a CRL added";
    fs::remove(directory + "/b.crl");
    EXPECT_EQ(revocation(directory), kValid) << "that CRL removed";
    writeCrlDer(directory + "/a.crl", makeCrl(m_ca, {{0x99, m_now - 5 * kDay}, {kSerial, m_now - 5 * kDay}}).get());
    EXPECT_EQ(revocation(directory), kRevoked) << "a CRL rewritten in place";
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod((directory + "/a.crl").c_str(), 0), 0);
        EXPECT_EQ(revocation(directory), kValid) << "an unreadable CRL file contributes nothing";
    }
}

// The cached trust file hands the chain each subject's certificates when
// the chain asks for them; the verdict is the one OpenSSL gives with the
// file loaded in full, also where several CAs share a name or the chain
// runs through an intermediate of the file.
TEST_F(FileCacheTest, ChainsAsOpenSslsLoadedFileDoes) {
    const Party impostor = longLivedCa("/O=Kivo Cache/CN=Trusted CA");
    Party intermediate = Certify("/O=Kivo Cache/CN=Intermediate").issuer(m_ca).serial(2).ca()
                             .validity(m_now - 100 * kDay, m_now + 1000 * kDay).make();
    const Party deepSigner = signerBy(intermediate, "/O=Kivo Cache/CN=Deep Signer", kSerial).make();
    const Bytes deepSignature = cmsSign(deepSigner, m_content);
    struct Case {
        const char* name;
        std::vector<const Party*> trust;
        bool deep;  // signed under the intermediate
    } cases[] = {
        {"same name, other key first", {&impostor, &m_ca}, false},
        {"same name, other key last", {&m_ca, &impostor}, false},
        {"only the other key", {&impostor}, false},
        {"the root twice", {&m_ca, &m_ca}, false},
        {"intermediate and root", {&intermediate, &m_other, &m_ca}, true},
        {"intermediate without root", {&intermediate}, true},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        std::vector<X509*> certificates;
        for (const Party* party : test.trust) certificates.push_back(party->cert.get());
        writeTrust(m_trust, certificates, false);
        const Party& signer = test.deep ? deepSigner : m_signer;
        const unsigned int expected = opensslTrusts(signer.cert.get()) ? kValid : kNoTrustedChain;
        const Bytes& signature = test.deep ? deepSignature : m_signature;
        EXPECT_EQ(Verification(signature).content(m_content).checks(0x04).at(m_now).caFile(m_trust).caPath(m_empty).run(),
                  expected);
    }
}

// Eight threads verify while the trust file is replaced back and forth:
// every verdict is one that one of the two files gives.
TEST_F(FileCacheTest, ConcurrentVerificationWhileTheTrustFileIsReplaced) {
    writeTrust(m_trust, {m_ca.cert.get()}, false);
    std::atomic<bool> stop{false};
    std::vector<std::vector<unsigned int>> verdicts(8);
    std::vector<std::thread> threads;
    for (auto& mine : verdicts) {
        threads.emplace_back([&, &mine = mine] {
            while (!stop.load()) mine.push_back(chain(m_trust));
        });
    }
    for (int round = 0; round < 60; ++round) {
        writeTrust(m_trust, round % 2 == 0 ? std::vector<X509*>{m_other.cert.get()} : std::vector<X509*>{m_ca.cert.get()},
                   false);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop = true;
    for (std::thread& thread : threads) thread.join();
    std::set<unsigned int> seen;
    std::size_t calls = 0;
    for (const auto& mine : verdicts) {
        seen.insert(mine.begin(), mine.end());
        calls += mine.size();
    }
    EXPECT_GT(calls, 8u);
    for (const unsigned int verdict : seen) EXPECT_TRUE(verdict == kValid || verdict == kNoTrustedChain) << verdict;
    EXPECT_LE(kivo::verify::fileCacheUsage().bytes, kivo::verify::kMaxCachedFileBytes);
}

}  // namespace
}  // namespace kivo::test::verify
