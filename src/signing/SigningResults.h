// The result codes of the signing and time-stamp calls in one table: the
// library returns them by these names, and kivocrypto explains them to
// its user with the texts. A code that is not listed here is not a result
// of these calls.
#pragma once

#include <cstddef>
#include <iterator>

namespace kivo::signing {

struct ResultCode {
    int code;
    const char* name;
    const char* text;
};

inline constexpr int kOk = 0;
inline constexpr int kNoTimeStampLayout = -22;
inline constexpr int kSignFailed = -24;
inline constexpr int kNoLength = -29;
inline constexpr int kSameFile = -35;
inline constexpr int kOutputNotWritable = -36;
inline constexpr int kNullKey = -37;
inline constexpr int kHashNotSupported = -88;           // the card signs SHA-256
inline constexpr int kHashNotSupportedNoSha256 = -89;
inline constexpr int kTimeStampRequestFailed = -91;
inline constexpr int kNoTimeStampToken = -92;
inline constexpr int kNoRoomForTimeStamp = -93;
inline constexpr int kNoSignatureValue = -94;
inline constexpr int kNoCertificate = -300;
inline constexpr int kNullOutput = -301;
inline constexpr int kNameTooLong = -1007;
inline constexpr int kNullName = -1008;
inline constexpr int kInputNotReadable = -1012;
inline constexpr int kInputEmpty = -1025;
inline constexpr int kCardFailure = 255;

inline constexpr ResultCode kResultCodes[] = {
    {kOk, "ok", "success"},
    {kNoTimeStampLayout, "no-timestamp-layout", "the container has no layout a time stamp can be added to"},
    {kSignFailed, "sign-failed", "signing failed"},
    {kNoLength, "no-length", "the signature container could not be built"},
    {kSameFile, "same-file", "input and output are the same file"},
    {kOutputNotWritable, "output-not-writable", "the output file cannot be written"},
    {kNullKey, "no-key", "no private key"},
    {kHashNotSupported, "hash-not-supported",
     "the card does not support this hash algorithm (it signs with sha256)"},
    {kHashNotSupportedNoSha256, "hash-not-supported-no-sha256",
     "the card does not support this hash algorithm"},
    {kTimeStampRequestFailed, "timestamp-request-failed",
     "the time-stamp request could not be sent (bad URL or HTTP failure)"},
    {kNoTimeStampToken, "no-timestamp-token",
     "no usable time stamp from the service (not reachable, HTTP error, or no granted token)"},
    {kNoRoomForTimeStamp, "no-room-for-timestamp", "no room for the time stamp in the container"},
    {kNoSignatureValue, "no-signature-value", "the container holds no signature value"},
    {kNoCertificate, "no-certificate", "no signer certificate"},
    {kNullOutput, "no-output", "no output buffer"},
    {kNameTooLong, "name-too-long", "a file name is longer than 256 characters"},
    {kNullName, "no-file-name", "no file name"},
    {kInputNotReadable, "input-not-readable", "the input file cannot be read"},
    {kInputEmpty, "input-empty", "the input file is empty"},
    {kCardFailure, "card-failure", "the card reported a failure"},
};

constexpr bool codesAreUnique() {
    for (std::size_t i = 0; i < std::size(kResultCodes); ++i) {
        for (std::size_t j = i + 1; j < std::size(kResultCodes); ++j) {
            if (kResultCodes[i].code == kResultCodes[j].code) return false;
        }
    }
    return true;
}
static_assert(codesAreUnique(), "each result code has one entry");

// The entry of `code`, or null when it is not a signing result.
constexpr const ResultCode* findResultCode(int code) {
    for (const ResultCode& entry : kResultCodes) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

}  // namespace kivo::signing
