#include "smartcard/transport/PaceRequest.h"

namespace kivo::card::pace {

namespace {

constexpr std::size_t kResultLength = 4;
constexpr std::size_t kHeaderLength = kResultLength + 2;
constexpr std::size_t kMaxOneByteLength = 0xFF;

void appendLittleEndian16(std::vector<std::uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
}

// bIdxFunction and wLengthInputData; the input follows.
std::vector<std::uint8_t> requestHeader(Function function, std::size_t inputLength) {
    std::vector<std::uint8_t> out;
    out.reserve(3 + inputLength);
    out.push_back(function);
    appendLittleEndian16(out, inputLength);
    return out;
}

// Reads the answer's fields in order; any read past the end makes it fail.
class AnswerReader {
public:
    explicit AnswerReader(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    std::optional<std::uint32_t> littleEndian(std::size_t width) {
        if (m_bytes.size() - m_at < width) return std::nullopt;
        std::uint32_t value = 0;
        for (std::size_t i = width; i-- > 0;) value = (value << 8) | m_bytes[m_at + i];
        m_at += width;
        return value;
    }
    std::optional<std::uint16_t> bigEndian16() {
        if (m_bytes.size() - m_at < 2) return std::nullopt;
        const auto value = static_cast<std::uint16_t>((m_bytes[m_at] << 8) | m_bytes[m_at + 1]);
        m_at += 2;
        return value;
    }
    // A field led by a length of `width` bytes.
    std::optional<std::vector<std::uint8_t>> field(std::size_t width) {
        const auto length = littleEndian(width);
        if (!length || m_bytes.size() - m_at < *length) return std::nullopt;
        std::vector<std::uint8_t> value(m_bytes.begin() + m_at, m_bytes.begin() + m_at + *length);
        m_at += *length;
        return value;
    }
    bool atEnd() const { return m_at == m_bytes.size(); }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_at = 0;
};

bool readOutput(AnswerReader& output, EstablishAnswer& answer) {
    const auto status = output.bigEndian16();
    auto cardAccess = output.field(2);
    const auto currentCar = output.field(1);
    const auto previousCar = output.field(1);
    auto chipIdentifier = output.field(2);
    if (!status || !cardAccess || !currentCar || !previousCar || !chipIdentifier) return false;
    answer.mseSetAtStatus = *status;
    answer.cardAccess = std::move(*cardAccess);
    answer.chipIdentifier = std::move(*chipIdentifier);
    return output.atEnd();
}

}  // namespace

std::optional<std::vector<std::uint8_t>> establishChannelRequest(Password password,
                                                                 std::span<const std::uint8_t> value) {
    if (value.size() > kMaxOneByteLength) return std::nullopt;
    // Built in one buffer reserved up front: no reallocation leaves a copy
    // of the password behind in freed memory.
    std::vector<std::uint8_t> out = requestHeader(cEstablishPaceChannel, 3 + value.size() + 2);
    out.insert(out.end(), {static_cast<std::uint8_t>(password), 0x00 /* no CHAT */,
                           static_cast<std::uint8_t>(value.size())});
    out.insert(out.end(), value.begin(), value.end());
    appendLittleEndian16(out, 0);  // no certificate description
    return out;
}

std::vector<std::uint8_t> destroyChannelRequest() { return requestHeader(cDestroyPaceChannel, 0); }

std::optional<EstablishAnswer> parseEstablishAnswer(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kHeaderLength) return std::nullopt;
    AnswerReader reader(bytes);
    EstablishAnswer answer;
    answer.result = *reader.littleEndian(kResultLength);
    const auto output = reader.field(2);
    if (!output || !reader.atEnd()) return std::nullopt;
    if (output->empty()) {
        return answer.result == cResultOk ? std::nullopt : std::optional(answer);
    }
    AnswerReader fields(*output);
    if (!readOutput(fields, answer)) return std::nullopt;
    return answer;
}

std::optional<std::uint16_t> cardStatusOf(std::uint32_t result) {
    if (result < cResultCardStatusMseSetAt || result > (cResultCardStatusLastStep | 0xFFFF)) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(result & 0xFFFF);
}

const char* resultText(std::uint32_t result) {
    switch (result) {
        case cResultOk: return "channel established";
        case cResultCancelled: return "cancelled at the reader";
        case cResultTimedOut: return "timed out at the reader";
        default: break;
    }
    if (cardStatusOf(result)) return "refused by the card";
    if ((result & 0xF0000000) == 0xD0000000) return "request refused by the reader";
    return "failed in the reader";
}

}  // namespace kivo::card::pace
