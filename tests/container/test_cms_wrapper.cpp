// CCms and CCmsDataContent: the content-type element or error 1000, on a copy of the input.

#include "tests/support/ContainerTestUtil.h"

#include "CmsSSL.h"

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
        {der, signedData}, {hex("3010 06092A864886F70D010701 A003040101"), hex("06092A864886F70D010701")},
        {hex("0403060100"), {}}, {hex("3003020105"), {}}, {hex("300506032A"), {}}, {hex("308201"), {}},
        {Bytes(der.begin(), der.end() - 1), {}}, {hex("300326012A"), {}},
    };
    for (const auto& [bytes, contentType] : cases) {
        SCOPED_TRACE(kivo::test::toHex(bytes).substr(0, 40));
        HeapCopy copy(bytes);
        CCms cms(copy.data(), static_cast<unsigned int>(bytes.size()));
        EXPECT_EQ(cms.getError(), contentType.empty() ? 1000 : 0);
        EXPECT_TRUE(bytesOf(cms) == bytes && cms.getPbCms() != copy.data()) << "a copy of the input";
        EXPECT_EQ(contentOf(cms.getDataContent()), contentType);
        // The pointer-taking constructors convert as hosts write them (`CCms c = ptr;`): deep copies.
        CCms copied = &cms;
        CCmsDataContent content = cms.getDataContent();
        EXPECT_TRUE(bytesOf(copied) == bytes && copied.getPbCms() != cms.getPbCms() && contentOf(&content) == contentType);
    }
    EXPECT_EQ(CCms(nullptr, 10).getError(), 1000);
    const CCmsDataContent none = static_cast<CCmsDataContent*>(nullptr);
    EXPECT_EQ(contentOf(&none), Bytes{});
}

}  // namespace
