// The file cache behind the trust store and the CRL directory: a changed,
// replaced, vanished or unreadable file gives the verdict it would give
// without a cache on the very next call, also while other threads verify.

#include "tests/verify/VerifyTestUtil.h"

#include "src/frame/OpenSSLHandles.h"
#include "src/verify/VerifyFileCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <thread>

namespace kivo::test::verify {
namespace {

class FileCacheTest : public VerifyTest {
protected:
    // The trust file with `parties`, through a new file and a rename or in place (same inode).
    void writeTrust(const std::vector<const Party*>& parties, bool inPlace = false) const {
        const std::string target = inPlace ? m_trust : m_trust + ".new";
        writeBytes(target, {});
        for (const Party* party : parties) appendPem(target, party->cert.get());
        if (!inPlace) fs::rename(target, m_trust);
    }
    unsigned int verify(const Bytes& signature, unsigned int checks = 0x04, const std::string& crls = "") const {
        return Verification(signature).content(m_content).checks(checks).crl(4, crls).at(m_now).trust(m_trust, m_empty).run();
    }

    const Bytes m_content = randomBytes(256, 61);
    const Party m_ca = longLivedCa("/CN=Trusted CA"), m_other = longLivedCa("/CN=Another CA");
    const Party m_signer = signerBy(m_ca, "/CN=Signer", 0x6161).make();
    const Bytes m_signature = cmsSign(m_signer, m_content);
    const std::string m_trust = m_dir.file("trust.pem"), m_crls = m_dir.folder("crls");
};

TEST_F(FileCacheTest, ChangesAreSeenOnTheNextCall) {
    const bool root = ::geteuid() == 0;
    const Party impostor = longLivedCa("/CN=Trusted CA");
    auto crl = [&](const std::string& name, const std::vector<long>& serials) {
        std::vector<CrlEntry> entries;
        for (const long serial : serials) entries.push_back({serial, m_now - 5 * kDay});
        writeBytes(m_crls + "/" + name, derOf(makeCrl(m_ca.cert.get(), m_ca.key.get(), entries).get()));
    };
    const struct { const char* what; std::function<void()> change; unsigned int checks, expected; } steps[] = {
        {"trust: another CA", [&] { writeTrust({&m_other}); }, 0x04, kNoTrustedChain},
        {"trust: from the cache", [] {}, 0x04, kNoTrustedChain},
        {"trust: replaced with the CA added", [&] { writeTrust({&m_other, &m_ca}); }, 0x04, kValid},
        {"trust: rewritten in place without it", [&] { writeTrust({&m_other}, true); }, 0x04, kNoTrustedChain},
        {"trust: rewritten in place with it", [&] { writeTrust({&m_ca}, true); }, 0x04, kValid},
        {"trust: unreadable", [&] { ::chmod(m_trust.c_str(), 0); }, 0x04, root ? kValid : kNoTrustedChain},
        {"trust: readable again", [&] { ::chmod(m_trust.c_str(), 0600); }, 0x04, kValid},
        // Every certificate of a subject is offered to the chain.
        {"trust: another key under the CA's name first", [&] { writeTrust({&impostor, &m_ca}); }, 0x04, kValid},
        {"trust: only another key under the CA's name", [&] { writeTrust({&impostor}); }, 0x04, kNoTrustedChain},
        {"CRLs: another serial", [&] { crl("a.crl", {0x99}); }, 0x10, kValid},
        {"CRLs: from the cache", [] {}, 0x10, kValid},
        {"CRLs: one listing the signer added", [&] { crl("b.crl", {0x6161}); }, 0x10, kRevoked},
        {"CRLs: that one removed", [&] { fs::remove(m_crls + "/b.crl"); }, 0x10, kValid},
        {"CRLs: rewritten in place", [&] { crl("a.crl", {0x99, 0x6161}); }, 0x10, kRevoked},
        {"CRLs: unreadable", [&] { ::chmod((m_crls + "/a.crl").c_str(), 0); }, 0x10, root ? kRevoked : kValid},
        {"trust: vanished", [&] { fs::remove(m_trust); }, 0x04, kNoTrustedChain}};
    for (const auto& step : steps) {
        step.change();
        EXPECT_EQ(verify(m_signature, step.checks, m_crls), step.expected) << step.what;
    }
}

// A CA renewed under its name and key: the chain takes the issuer OpenSSL's own file look-up takes (so the same
// validity bit), whatever the order in the file, read fresh or from the cache. A file rewritten in place with its
// size and modification time kept is read again (its change time moved).
TEST_F(FileCacheTest, RenewedCaAndPreservedTimesAsWithoutTheCache) {
    const Party expired = Certify("/CN=Renewed CA").ca().key(KeyKind::EcP256).validity(m_now - 800 * kDay, m_now - 10 * kDay).make();
    const Party renewed = Certify("/CN=Renewed CA").ca().key(KeyKind::EcP256).validity(m_now - 20 * kDay, m_now + 900 * kDay).make();
    const Party signer = signerBy(renewed, "/CN=Renewed Signer", 0x77).make();
    const Bytes signature = cmsSign(signer, m_content);
    for (const auto& order : {std::vector<const Party*>{&expired, &renewed}, {&renewed, &expired}}) {
        writeTrust(order);
        const kivo::StorePtr store(X509_STORE_new());
        const kivo::StoreContextPtr context(X509_STORE_CTX_new());
        ASSERT_TRUE(X509_STORE_load_file(store.get(), m_trust.c_str()) == 1 &&
                    X509_STORE_CTX_init(context.get(), store.get(), signer.cert.get(), nullptr) == 1);
        X509_STORE_CTX_set_time(context.get(), 0, m_now);
        ASSERT_EQ(X509_verify_cert(context.get()), 1);
        std::time_t now = m_now;
        const bool expiredIssuer = X509_cmp_time(X509_get0_notAfter(sk_X509_value(X509_STORE_CTX_get0_chain(context.get()), 1)), &now) < 0;
        const unsigned int expected = expiredIssuer ? kChainNotValid : kValid;
        EXPECT_EQ(verify(signature), expected) << "read fresh";
        EXPECT_EQ(verify(signature), expected) << "from the cache";
    }
    // Both files padded with blank lines to one size, the second written into the first's inode.
    const auto trustPadded = [&](const Party& ca, bool inPlace) {
        writeTrust({&ca}, inPlace);
        std::ofstream(m_trust, std::ios::app) << std::string(4096 - fs::file_size(m_trust), '\n');
    };
    trustPadded(m_ca, false);
    EXPECT_EQ(verify(m_signature), kValid);
    struct stat before {};
    ASSERT_EQ(::stat(m_trust.c_str(), &before), 0);
    trustPadded(longLivedCa("/CN=Trusted CA"), true);
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, m_trust.c_str(), times, 0), 0);
    EXPECT_EQ(verify(m_signature), kNoTrustedChain) << "same inode, size and modification time: read again";
}

// Eight threads verify while the trust file is replaced back and forth:
// every verdict is one that one of the two files gives.
TEST_F(FileCacheTest, ConcurrentVerificationWhileTheTrustFileIsReplaced) {
    writeTrust({&m_ca});
    std::atomic<bool> stop{false}, unexpected{false};
    std::atomic<int> calls{0};
    std::vector<std::thread> threads(8);
    for (std::thread& thread : threads) {
        thread = std::thread([&] {
            for (; !stop; ++calls) unexpected = unexpected || (verify(m_signature) & ~kNoTrustedChain) != 0;
        });
    }
    for (int round = 0; round < 60; std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        writeTrust({++round % 2 == 0 ? &m_other : &m_ca});
    }
    stop = true;
    for (std::thread& thread : threads) thread.join();
    EXPECT_TRUE(calls > 8 && !unexpected);
    EXPECT_LE(kivo::verify::fileCacheUsage().bytes, kivo::verify::kMaxCachedFileBytes);
}

}  // namespace
}  // namespace kivo::test::verify
