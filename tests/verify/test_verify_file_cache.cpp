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
#include <functional>
#include <set>
#include <thread>

namespace kivo::test::verify {
namespace {

constexpr long kSerial = 0x6161;

class FileCacheTest : public VerifyTest {
protected:
    // `certificates` written to the trust file through a new file and a
    // rename, or in place (same inode).
    void writeTrust(const std::vector<const Party*>& certificates, bool inPlace = false) const {
        const std::string target = inPlace ? m_trust : m_trust + ".new";
        writeBytes(target, {});
        for (const Party* party : certificates) appendPem(target, party->cert.get());
        if (!inPlace) fs::rename(target, m_trust);
    }
    unsigned int chain(const Bytes& signature, const std::string& caFile) const {
        return Verification(signature).content(m_content).checks(0x04).at(m_now).trust(caFile, m_empty).run();
    }

    const Bytes m_content = randomBytes(256, 61);
    const Party m_ca = longLivedCa("/O=Kivo Cache/CN=Trusted CA");
    const Party m_other = longLivedCa("/O=Kivo Cache/CN=Another CA");
    const Bytes m_signature = cmsSign(signerBy(m_ca, "/O=Kivo Cache/CN=Signer", kSerial).make(), m_content);
    const std::string m_trust = m_dir.file("trust.pem");
};

TEST_F(FileCacheTest, ChangesAreSeenOnTheNextCall) {
    const std::string loop = m_dir.file("loop.pem");
    ASSERT_EQ(::symlink(loop.c_str(), loop.c_str()), 0);
    const bool root = ::geteuid() == 0;
    const std::pair<std::function<void()>, unsigned int> trustSteps[] = {
        {[&] { writeTrust({&m_other}); }, kNoTrustedChain},
        {[] {}, kNoTrustedChain},  // from the cache
        {[&] { writeTrust({&m_other, &m_ca}); }, kValid},
        {[&] { writeTrust({&m_other}, true); }, kNoTrustedChain},
        {[&] { writeTrust({&m_ca}, true); }, kValid},
        {[&] { ::chmod(m_trust.c_str(), 0); }, root ? kValid : kNoTrustedChain},
        {[&] { ::chmod(m_trust.c_str(), 0600); }, kValid},
        {[&] { fs::remove(m_trust); }, kNoTrustedChain},
    };
    int step = 0;
    for (const auto& [change, expected] : trustSteps) {
        change();
        EXPECT_EQ(chain(m_signature, m_trust), expected) << "trust step " << ++step;
    }
    EXPECT_EQ(chain(m_signature, loop), kNoTrustedChain) << "a file that cannot be opened";

    writeTrust({&m_ca});
    const std::string folder = m_dir.folder("crls");
    auto crl = [&](const std::string& name, const std::vector<CrlEntry>& entries) {
        writeBytes(folder + "/" + name, derOf(makeCrl(m_ca.cert.get(), m_ca.key.get(), entries).get()));
    };
    const CrlEntry other{0x99, m_now - 5 * kDay}, signer{kSerial, m_now - 5 * kDay};
    const std::pair<std::function<void()>, unsigned int> crlSteps[] = {
        {[&] { crl("a.crl", {other}); }, kValid},
        {[] {}, kValid},
        {[&] { crl("b.crl", {signer}); }, kRevoked},
        {[&] { fs::remove(folder + "/b.crl"); }, kValid},
        {[&] { crl("a.crl", {other, signer}); }, kRevoked},
        {[&] { ::chmod((folder + "/a.crl").c_str(), 0); }, root ? kRevoked : kValid},
    };
    for (const auto& [change, expected] : crlSteps) {
        change();
        EXPECT_EQ(Verification(m_signature).content(m_content).checks(0x10).crl(0x04, folder).at(m_now).trust(m_trust).run(),
                  expected) << "CRL step " << ++step;
    }
}

// The cached trust file hands the chain each subject's certificates when
// asked; the verdict is OpenSSL's with the file loaded in full, also where
// CAs share a name or the chain runs through an intermediate of the file.
TEST_F(FileCacheTest, ChainsAsOpenSslsLoadedFileDoes) {
    const Party impostor = longLivedCa("/O=Kivo Cache/CN=Trusted CA");
    const Party intermediate = Certify("/O=Kivo Cache/CN=Intermediate").issuer(m_ca).serial(2).ca()
                                   .validity(m_now - 100 * kDay, m_now + 1000 * kDay).make();
    const Party signer = signerBy(m_ca, "/CN=Signer", kSerial).make();
    const Party deepSigner = signerBy(intermediate, "/CN=Deep Signer", kSerial).make();
    const std::vector<std::vector<const Party*>> trusts = {
        {&impostor, &m_ca}, {&m_ca, &impostor}, {&impostor}, {&m_ca, &m_ca}, {&intermediate, &m_other, &m_ca}, {&intermediate}};
    for (const auto& trust : trusts) {
        writeTrust(trust);
        for (const Party* party : {&signer, &deepSigner}) {
            kivo::StorePtr store(X509_STORE_new());
            kivo::StoreContextPtr context(X509_STORE_CTX_new());
            const bool ok = X509_STORE_load_file(store.get(), m_trust.c_str()) == 1 &&
                            X509_STORE_CTX_init(context.get(), store.get(), party->cert.get(), nullptr) == 1 &&
                            (X509_STORE_CTX_set_time(context.get(), 0, m_now), X509_verify_cert(context.get()) == 1);
            ERR_clear_error();
            EXPECT_EQ(chain(cmsSign(*party, m_content), m_trust), ok ? kValid : kNoTrustedChain)
                << trust.size() << " certificates, " << (party == &signer ? "signer" : "deep signer");
        }
    }
}

// Eight threads verify while the trust file is replaced back and forth:
// every verdict is one that one of the two files gives.
TEST_F(FileCacheTest, ConcurrentVerificationWhileTheTrustFileIsReplaced) {
    writeTrust({&m_ca});
    std::atomic<bool> stop{false};
    std::vector<std::vector<unsigned int>> verdicts(8);
    std::vector<std::thread> threads;
    for (auto& mine : verdicts) {
        threads.emplace_back([&, &mine = mine] {
            while (!stop.load()) mine.push_back(chain(m_signature, m_trust));
        });
    }
    for (int round = 0; round < 60; ++round) {
        writeTrust({round % 2 == 0 ? &m_other : &m_ca});
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stop = true;
    std::set<unsigned int> seen;
    std::size_t calls = 0;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        threads[i].join();
        seen.insert(verdicts[i].begin(), verdicts[i].end());
        calls += verdicts[i].size();
    }
    EXPECT_GT(calls, 8u);
    for (const unsigned int verdict : seen) EXPECT_TRUE(verdict == kValid || verdict == kNoTrustedChain) << verdict;
    EXPECT_LE(kivo::verify::fileCacheUsage().bytes, kivo::verify::kMaxCachedFileBytes);
}

}  // namespace
}  // namespace kivo::test::verify
