// An application of the installed library: prints the SHA-256 of "abc";
// with `card READER PIN IN OUT` signs IN into the detached container OUT
// with the signature card in the reader of that name, as a host does.
#include <KivoCryptoSSL.h>

#include <cstdio>
#include <cstring>

namespace {

int signWithCard(const char* readerName, const char* pin, char* in, char* out) {
    CSCUtils utils;
    int reader = -1;
    for (int index = 0; index < utils.GetNumReaders(); ++index) {
        if (utils.GetReaderName(index) == readerName) reader = index;
    }
    if (reader < 0) return std::fprintf(stderr, "no reader '%s'\n", readerName), 2;
    utils.setReader(reader);
    x509_st* certificate = utils.GetX509(0);
    unsigned long* key = CSignMessage::OpenSSLKey(nullptr, nullptr, pin, reader, 0, "0", nullptr, 0);
    const int result = certificate && key ? CSignMessage::SignDetached(in, out, certificate, key, 1, nullptr, 0) : -1;
    std::printf("certificate %s, key %s, SignDetached %d\n", certificate ? "read" : "missing", key ? "opened" : "no", result);
    CSignMessage::CloseSSLKey(key);
    CSCUtils::freeX509(certificate);
    return result == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 6 && std::strcmp(argv[1], "card") == 0) return signWithCard(argv[2], argv[3], argv[4], argv[5]);
    unsigned char data[] = {'a', 'b', 'c'};
    std::puts(CHashSSL::calculateHash(data, sizeof data, 4));
    return 0;
}
