// CCms and CCmsDataContent: the content-type element, deep copies, the logged life cycle.

#include "tests/support/ContainerTestUtil.h"

#include "CmsSSL.h"
#include "tests/support/LogCapture.h"

#include <gtest/gtest.h>

using namespace kivo::test::container;
using kivo::test::hex;

namespace {

Bytes contentOf(const CCmsDataContent* c) {
    return c == nullptr || c->getPbCmsData() == nullptr ? Bytes{} : Bytes(c->getPbCmsData(), c->getPbCmsData() + c->getCbCmsData());
}

Bytes bytesOf(const CCms& cms) { return cms.getPbCms() == nullptr ? Bytes{} : Bytes(cms.getPbCms(), cms.getPbCms() + cms.getCbCms()); }

TEST(CmsWrapper, ContentTypeElementOrError1000) {
    const Bytes der = signedBuilderMessage(TestPki::instance().signer(kivo::test::KeyKind::EcP256), {});
    const Bytes signedData = kivo::test::cms::oidElement("1.2.840.113549.1.7.2");
    const std::pair<Bytes, Bytes> cases[] = {  // message, content type (none: error 1000)
        {der, signedData},
        {timeStampToken(Bytes{'t'}), signedData},
        {hex("3010 06092A864886F70D010701 A003040101"), hex("06092A864886F70D010701")},
        {hex("0403060100"), {}},
        {hex("3003020105"), {}},
        {hex("300506032A"), {}},
        {hex("308201"), {}},
        {Bytes(der.begin(), der.end() - 1), {}},
        {hex("300326012A"), {}},
    };
    for (const auto& [bytes, contentType] : cases) {
        SCOPED_TRACE(kivo::test::toHex(bytes).substr(0, 40));
        HeapCopy copy(bytes);
        CCms cms(copy.data(), static_cast<unsigned int>(bytes.size()));
        EXPECT_EQ(cms.getError(), contentType.empty() ? 1000 : 0);
        EXPECT_EQ(bytesOf(cms), bytes);
        EXPECT_NE(cms.getPbCms(), copy.data());
        EXPECT_EQ(contentOf(cms.getDataContent()), contentType);
    }
    EXPECT_EQ(CCms(nullptr, 10).getError(), 1000);
}

TEST(CmsWrapper, CopiesAreDeepAndTheLifeCycleIsLogged) {
    Bytes der = signedBuilderMessage(TestPki::instance().signer(kivo::test::KeyKind::EcP256), {});
    kivo::test::LogCapture log(CCms::m_logger);
    kivo::test::LogCapture contentLog(CCmsDataContent::m_logger);
    {
        auto original = std::make_unique<CCms>(der.data(), static_cast<unsigned int>(der.size()));
        original->setDataContentType(22);
        CCms copied(*original);
        copied = *original;
        EXPECT_NE(copied.getPbCms(), original->getPbCms());
        EXPECT_NE(copied.getDataContent()->getPbCmsData(), original->getDataContent()->getPbCmsData());
        original.reset();
        EXPECT_EQ(bytesOf(copied), der);
        EXPECT_EQ(copied.getDataContentType(), 22);
        EXPECT_EQ(contentOf(copied.getDataContent()), kivo::test::cms::oidElement("1.2.840.113549.1.7.2"));

        Bytes replacement = hex("06032A0304");
        auto* next = new CCmsDataContent(replacement.data(), static_cast<unsigned int>(replacement.size()));
        contentLog.clear();
        copied.setDataContent(next);
        copied.setDataContent(next);  // the same object again: kept
        EXPECT_EQ(contentLog.messages(), (std::vector<std::string>{"entering d'tor", "leaving d'tor"}));
        EXPECT_EQ(contentOf(copied.getDataContent()), replacement);
    }
    EXPECT_EQ(log.messages(), (std::vector<std::string>{"entering c'tor", "leaving c'tor", "entering copy c'tor", "leaving copy c'tor",
                                                         "entering operator =", "leaving operator =", "entering d'tor", "leaving d'tor",
                                                         "entering d'tor", "leaving d'tor"}));
    EXPECT_EQ(log.events().front().logger, "KivoCryptoSSL::CmsSSL");
}

}  // namespace
