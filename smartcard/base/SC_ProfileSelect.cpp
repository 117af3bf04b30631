// Selection by path with the cache of the current DF path and EF, and the
// stack of files to return to after a detour.
#include "smartcard/base/SC_Profile_Base.h"

#include "smartcard/transport/CardTrace.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>

using kivo::CardTrace;
namespace card = kivo::card;

namespace {

constexpr std::size_t kFidLength = 2;

bool isMf(const std::uint8_t* fid) { return fid[0] == 0x3F && fid[1] == 0x00; }

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The bytes of a path text: hex digit pairs, '/' skipped. Nothing for a
// character that is neither, an odd digit count, or more than `limit` bytes.
std::optional<std::vector<std::uint8_t>> pathBytes(const std::string& text, std::size_t limit) {
    std::vector<std::uint8_t> bytes;
    int high = -1;
    for (const char c : text) {
        if (c == '/') continue;
        const int value = hexValue(c);
        if (value < 0) return std::nullopt;
        if (high < 0) {
            high = value;
            continue;
        }
        if (bytes.size() == limit) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>((high << 4) | value));
        high = -1;
    }
    if (high >= 0) return std::nullopt;
    return bytes;
}

// What of a requested path still has to be selected.
}  // namespace

CardResult CSC_Profile_Base::SelectPath(const std::string& path, bool force, bool reselect,
                                        bool lastIsDF, bool byAid) {
    CardTrace::write(CardTrace::cLevelInfo, "--entering CSC_Profile_Base::SelectPath\n");
    CardTrace::write(CardTrace::cLevelDetail, "path: %s   , force : %d\n", path.c_str(),
                     force ? 1 : 0);
    CardTrace::dump(CardTrace::cLevelDetail, "Currpath: ", m_currDfPath.data(), m_currDfPathLength);
    CardTrace::dump(CardTrace::cLevelDetail, "CurrEF: ", m_currEf.data(), m_currEfLength);

    const std::optional<Bytes> requested = pathBytes(path, cMaxPathTextBytes);
    if (!requested) return card::cFailed;
    if (byAid) return requested->empty() ? card::cFailed : SelectByAid(*requested, force, reselect);

    const Bytes& p = *requested;
    const std::size_t length = p.size();
    if (length % kFidLength != 0 || length > cMaxDfPathLength) return card::cFailed;

    // Only 255 ends a forced start; any other failure leaves the card's
    // selection unknown, which the cache then says. Once this object has
    // established the card's selection itself, a forced start would only
    // select the MF the reduction below leaves or reaches anyway.
    if (force && !m_selectionKnown && SelectMfAndNote() == card::cFailed) return card::cFailed;

    // An empty path names "no file": selected exactly when no EF is current
    // (the PIN flows fall back to an empty alternative path).
    if (length == 0) {
        if (m_currEfLength != 0) return card::cFailed;
        CardTrace::write(CardTrace::cLevelDetail, "path already selected : %s \n", path.c_str());
        return card::cOk;
    }

    const PathRemainder rest = ReducePath(p, reselect, lastIsDF);
    if (rest.from >= length) {
        CardTrace::write(CardTrace::cLevelDetail, "path already selected : %s \n", path.c_str());
        return card::cOk;
    }
    const std::uint8_t* fids = p.data() + rest.from;
    const std::size_t remaining = length - rest.from;
    if (remaining == kFidLength && isMf(fids)) {
        if (SelectMfAndNote() != card::cOk) return card::cFailed;
    } else if (SelectFileIds(fids, remaining, lastIsDF, rest.lastAlreadyCurrent) != card::cOk) {
        // The card refused a file the cache led to: where it stands is no
        // longer this object's knowledge, and a forced start selects the MF.
        m_selectionKnown = false;
        return card::cFailed;
    }
    CardTrace::write(CardTrace::cLevelInfo, "--leaving CSC_Profile_Base::SelectPath\n");
    return card::cOk;
}

// The part of the path the card still has to be told, given the cache: a
// file the cache holds only on `reselect`, and a path that runs through a
// current DF this object selected from there on (the MF and the DFs on the
// way are current).
CSC_Profile_Base::PathRemainder CSC_Profile_Base::ReducePath(const Bytes& p, bool reselect,
                                                             bool lastIsDF) {
    const std::size_t length = p.size();
    const std::size_t again = reselect ? length - kFidLength : length;
    const std::uint8_t* last = p.data() + length - kFidLength;
    if (length == m_currEfLength) {
        if (std::memcmp(p.data(), m_currEf.data(), length) == 0) return {again, true};
        if (std::memcmp(p.data(), m_currEf.data(), length - kFidLength) == 0) {
            return {length - kFidLength, false};
        }
    }
    const std::size_t dirLength = lastIsDF ? length : length - kFidLength;
    const bool throughCurrentDf = m_currDfPathLength != 0 && m_currDfPathLength <= dirLength &&
                                  std::memcmp(p.data(), m_currDfPath.data(), m_currDfPathLength) == 0;
    if (!throughCurrentDf) return {0, false};
    // Deeper DFs only from a DF this object selected itself: the DF path a
    // new connection assumes is not proof enough to leave out the MF.
    if (m_currDfPathLength < dirLength) return {m_selectionKnown ? m_currDfPathLength : 0, false};
    if (lastIsDF) {
        m_currEfLength = 0;
        return {again, true};
    }
    if (m_currEfLength != kFidLength || std::memcmp(m_currEf.data(), last, kFidLength) != 0) {
        return {length - kFidLength, false};
    }
    return {again, true};
}

CardResult CSC_Profile_Base::SelectFileIds(const std::uint8_t* fids, std::size_t length,
                                           bool lastIsDF, bool lastAlreadyCurrent) {
    const std::size_t lastAt = length - kFidLength;
    for (std::size_t at = 0; at < lastAt; at += kFidLength) {
        const std::uint8_t* fid = fids + at;
        // The card's current EF goes with the directory step.
        m_currEfLength = 0;
        if (isMf(fid)) {
            CardTrace::write(CardTrace::cLevelDetail, "Select MF\n");
            if (SelectMfAndNote() != card::cOk) {
                CardTrace::write(CardTrace::cLevelInfo, "Error while selecting MF\n");
                return card::cFailed;
            }
        } else {
            CardTrace::dump(CardTrace::cLevelDetail, "Select DF :", fid, kFidLength);
            if (SCSelectDF(fid, kFidLength) != card::cOk || !AppendToDfPath(fid)) {
                CardTrace::write(CardTrace::cLevelInfo, "Error while selecting DF\n");
                return card::cFailed;
            }
        }
    }

    const std::uint8_t* last = fids + lastAt;
    if (lastIsDF) {
        m_currEfLength = 0;
        if (SCSelectDF(last, kFidLength) != card::cOk) {
            CardTrace::write(CardTrace::cLevelInfo, "Error while selecting DF\n");
            return card::cFailed;
        }
        // A reselect of the current DF leaves the path as it is.
        if (!lastAlreadyCurrent && !AppendToDfPath(last)) return card::cFailed;
        return card::cOk;
    }
    CardTrace::dump(CardTrace::cLevelDetail, "Select EF :", last, kFidLength);
    m_currEfLength = 0;
    if (SCSelectEF(last) != card::cOk) {
        CardTrace::write(CardTrace::cLevelInfo, "Error while selecting EF\n");
        return card::cFailed;
    }
    std::copy(last, last + kFidLength, m_currEf.begin());
    m_currEfLength = kFidLength;
    return card::cOk;
}

bool CSC_Profile_Base::AppendToDfPath(const std::uint8_t* fid) {
    if (m_currDfPathLength + kFidLength > cMaxDfPathLength) return false;
    std::copy(fid, fid + kFidLength, m_currDfPath.begin() + m_currDfPathLength);
    m_currDfPathLength += kFidLength;
    return true;
}

CardResult CSC_Profile_Base::SelectByAid(const Bytes& aid, bool force, bool reselect) {
    if (aid.size() > cMaxDfPathLength) return card::cFailed;
    const bool aidIsCurrent = aid.size() == m_currDfPathLength &&
                              std::equal(aid.begin(), aid.end(), m_currDfPath.begin());
    if (!(force && reselect) && aidIsCurrent) return card::cOk;
    if (reselect) {
        CardTrace::write(CardTrace::cLevelDetail, "--CSC_Profile_Base::reselect\n");
        if (SelectMfAndNote() != card::cOk) return card::cFailed;
    }
    if (SCSelectAID(aid.data(), static_cast<std::uint32_t>(aid.size())) != card::cOk) {
        ForgetSelection();
        return card::cFailed;
    }
    std::copy(aid.begin(), aid.end(), m_currDfPath.begin());
    m_selectionKnown = true;
    m_currDfPathLength = static_cast<std::uint32_t>(aid.size());
    m_currEfLength = 0;
    return card::cOk;
}

CardResult CSC_Profile_Base::SelectMfAndNote() {
    const CardResult result = SCSelectMF();
    if (result == card::cOk) {
        ResetSelectionToMf();
        m_selectionKnown = true;
    } else {
        ForgetSelection();
    }
    return result;
}

void CSC_Profile_Base::ForgetSelection() {
    m_currDfPathLength = 0;
    m_currEfLength = 0;
    m_selectionKnown = false;
}

std::string CSC_Profile_Base::CanonicalPath(const std::string& path) {
    std::string digits;
    for (const char c : path) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        }
    }
    return digits;
}

bool CSC_Profile_Base::NamesCurrentDf(const std::string& path) const {
    const std::optional<Bytes> requested = pathBytes(path, cMaxPathTextBytes);
    return requested && !requested->empty() && requested->size() == m_currDfPathLength &&
           std::equal(requested->begin(), requested->end(), m_currDfPath.begin());
}

void CSC_Profile_Base::SelectionMayHaveChanged() {
    m_selectionKnown = false;
    ForgetLastSelect();
    m_readFiles.clear();
}

// --- file stack -------------------------------------------------------------------

std::string CSC_Profile_Base::GetCurrFilePath() const {
    return hex2str(m_currDfPath.data(), m_currDfPathLength) +
           hex2str(m_currEf.data(), m_currEfLength);
}

void CSC_Profile_Base::PushCurrentFile(const std::string& path) {
    m_fileStack.push_back(path.empty() ? GetCurrFilePath() : path);
}

void CSC_Profile_Base::PopCurrentFile() {
    if (m_fileStack.empty()) return;
    const std::string entry = m_fileStack.back();
    m_fileStack.pop_back();
    if (entry.empty()) return;
    if (SelectPath(entry, false, true, false, false) != card::cOk) {
        SelectPath(entry, true, true, false, false);
    }
}
