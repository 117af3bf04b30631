#include "tools/vcard/FileSystem.h"

#include <algorithm>

namespace vcard {

namespace {

void appendTlv(Bytes& out, std::uint8_t tag, const Bytes& value) {
    out.push_back(tag);
    if (value.size() > 0x7F) {
        out.push_back(0x81);
    }
    out.push_back(static_cast<std::uint8_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

Bytes twoBytes(std::size_t value) {
    return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

}  // namespace

CardFile* CardFile::child(std::uint16_t id) const {
    for (const auto& file : children) {
        if (file->fid == id) return file.get();
    }
    return nullptr;
}

FileSystem::FileSystem() : m_mf(std::make_unique<CardFile>()) {
    m_mf->fid = 0x3F00;
    resetSelection();
}

CardFile* FileSystem::add(const std::vector<std::uint16_t>& parentPath,
                          std::unique_ptr<CardFile> file) {
    CardFile* parent = find(parentPath);
    if (!parent || !parent->isDf() || parent->child(file->fid)) return nullptr;
    file->parent = parent;
    parent->children.push_back(std::move(file));
    return parent->children.back().get();
}

CardFile* FileSystem::find(const std::vector<std::uint16_t>& path) const {
    if (path.empty() || path.front() != 0x3F00) return nullptr;
    CardFile* file = m_mf.get();
    for (std::size_t i = 1; i < path.size() && file; ++i) {
        file = file->child(path[i]);
    }
    return file;
}

void FileSystem::resetSelection() {
    m_currentDf = m_mf.get();
    m_currentEf = nullptr;
}

Bytes FileSystem::controlInformation(const CardFile& file, bool fci) const {
    if (fci && file.fci) return *file.fci;
    if (!fci && file.fcp) return *file.fcp;
    const auto sizeTag = static_cast<std::uint8_t>(fci ? dialect->hex("fci-size-tag", 0x80) : 0x80);
    Bytes body;
    switch (file.kind) {
    case CardFile::Kind::Dedicated:
        appendTlv(body, 0x82, {0x38});
        appendTlv(body, 0x83, twoBytes(file.fid));
        if (!file.aid.empty()) appendTlv(body, 0x84, file.aid);
        break;
    case CardFile::Kind::Transparent:
        appendTlv(body, sizeTag, twoBytes(file.content.size()));
        appendTlv(body, 0x82, {0x01});
        appendTlv(body, 0x83, twoBytes(file.fid));
        break;
    case CardFile::Kind::Records: {
        std::size_t total = 0;
        for (const Bytes& record : file.records) total += record.size();
        appendTlv(body, sizeTag, twoBytes(total));
        // Linear structure, variable size, with the number of records.
        appendTlv(body, 0x82, {0x04, 0x21, 0x00, 0x00,
                               static_cast<std::uint8_t>(file.records.size())});
        appendTlv(body, 0x83, twoBytes(file.fid));
        break;
    }
    }
    if (file.sfi) appendTlv(body, 0x88, {static_cast<std::uint8_t>(file.sfi << 3)});
    appendTlv(body, 0x8A, {0x05});  // life cycle: operational, activated
    Bytes out;
    if (!fci && dialect->text("fcp-length") == "long" && body.size() <= 0xFF) {
        // fcp-length=long: the template's length in the two-byte form
        // 81 xx whatever its size, which ISO 7816-4 allows (CardOS 5.x).
        out = {0x62, 0x81, static_cast<std::uint8_t>(body.size())};
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
    appendTlv(out, fci ? 0x6F : 0x62, body);
    return out;
}

CardFile* FileSystem::findByFid(std::uint16_t fid) const {
    // ISO 7816-4 search order: the MF, children of the current DF, the
    // current DF itself, its parent and the parent's children.
    if (fid == 0x3F00) return m_mf.get();
    if (CardFile* file = m_currentDf->child(fid)) return file;
    if (m_currentDf->fid == fid) return m_currentDf;
    if (CardFile* parent = m_currentDf->parent) {
        if (parent->fid == fid) return parent;
        if (CardFile* sibling = parent->child(fid)) return sibling;
    }
    return nullptr;
}

CardFile* FileSystem::findByName(const Bytes& name, const CardFile& from) const {
    if (from.isDf() && !from.aid.empty() && from.aid == name) {
        return const_cast<CardFile*>(&from);
    }
    for (const auto& file : from.children) {
        if (CardFile* found = findByName(name, *file)) return found;
    }
    return nullptr;
}

CardFile* FileSystem::walk(CardFile* start, const Bytes& path) const {
    if (path.empty() || path.size() % 2 != 0) return nullptr;
    CardFile* file = start;
    for (std::size_t i = 0; i < path.size(); i += 2) {
        std::uint16_t fid = static_cast<std::uint16_t>(path[i] << 8 | path[i + 1]);
        // A path from the MF may repeat the MF's own identifier first.
        if (i == 0 && fid == 0x3F00 && start == m_mf.get()) continue;
        if (!file->isDf()) return nullptr;
        file = file->child(fid);
        if (!file) return nullptr;
    }
    return file;
}

Bytes FileSystem::selected(CardFile* file, std::uint8_t p2) {
    if (file->isDf()) {
        m_currentDf = file;
        m_currentEf = nullptr;
    } else {
        m_currentDf = file->parent;
        m_currentEf = file;
    }
    switch (p2 & 0x0C) {
    case 0x00: return withStatus(controlInformation(*file, true), 0x9000);
    case 0x04: return withStatus(controlInformation(*file, false), 0x9000);
    case 0x0C: return status(0x9000);
    default: return status(0x6A86);
    }
}

Bytes FileSystem::select(const Apdu& apdu) {
    if ((apdu.p2 & 0x0C) == 0x08 || (apdu.p2 & 0xF0) != 0) return status(0x6A86);
    CardFile* file = nullptr;
    const Bytes& data = apdu.data;
    auto fid = [&data] { return static_cast<std::uint16_t>(data[0] << 8 | data[1]); };
    switch (apdu.p1) {
    case 0x00:  // by file identifier; no data selects the MF
        if (data.empty()) {
            file = m_mf.get();
        } else if (data.size() == 2) {
            file = findByFid(fid());
        } else {
            return status(0x6700);
        }
        break;
    case 0x01:  // DF under the current DF
    case 0x02:  // EF under the current DF
        if (data.size() != 2) return status(0x6700);
        file = m_currentDf->child(fid());
        if (file && file->isDf() != (apdu.p1 == 0x01)) file = nullptr;
        break;
    case 0x03:  // parent of the current DF
        if (!data.empty()) return status(0x6700);
        file = m_currentDf->parent ? m_currentDf->parent : m_currentDf;
        break;
    case 0x04:  // by DF name
        if (data.empty()) return status(0x6700);
        file = findByName(data, *m_mf);
        break;
    case 0x08:  // path from the MF
    case 0x09:  // path from the current DF
        if (data.empty() || data.size() % 2 != 0) return status(0x6700);
        file = walk(apdu.p1 == 0x08 ? m_mf.get() : m_currentDf, data);
        break;
    default:
        return status(0x6A86);
    }
    if (!file) return status(0x6A82);
    return selected(file, apdu.p2);
}

CardFile* FileSystem::target(std::uint8_t sfi, std::uint16_t& sw) {
    if (sfi) {
        for (const auto& file : m_currentDf->children) {
            if (!file->isDf() && file->sfi == sfi) {
                m_currentEf = file.get();
                return m_currentEf;
            }
        }
        sw = 0x6A82;
        return nullptr;
    }
    if (!m_currentEf) {
        sw = 0x6986;  // no current EF
        return nullptr;
    }
    return m_currentEf;
}

Bytes FileSystem::readBinary(const Apdu& apdu) {
    std::uint16_t sw = 0;
    std::size_t offset;
    CardFile* file;
    if (apdu.p1 & 0x80) {  // short EF identifier in P1, offset in P2
        file = target(apdu.p1 & 0x1F, sw);
        offset = apdu.p2;
    } else {
        file = target(0, sw);
        offset = static_cast<std::size_t>(apdu.p1 & 0x7F) << 8 | apdu.p2;
    }
    if (!file) return status(sw);
    if (file->kind != CardFile::Kind::Transparent) return status(0x6981);
    if (!apdu.le) return status(0x6700);
    const Bytes& content = file->content;
    if (offset > content.size()) return status(0x6B00);
    std::size_t count = std::min(apdu.expected(), content.size() - offset);
    Bytes out(content.begin() + static_cast<std::ptrdiff_t>(offset),
              content.begin() + static_cast<std::ptrdiff_t>(offset + count));
    // Fewer bytes than asked for: the end of the file was reached.
    return withStatus(std::move(out), count < apdu.expected() ? 0x6282 : 0x9000);
}

Bytes FileSystem::updateBinary(const Apdu& apdu) {
    std::uint16_t sw = 0;
    std::size_t offset;
    CardFile* file;
    if (apdu.p1 & 0x80) {
        file = target(apdu.p1 & 0x1F, sw);
        offset = apdu.p2;
    } else {
        file = target(0, sw);
        offset = static_cast<std::size_t>(apdu.p1 & 0x7F) << 8 | apdu.p2;
    }
    if (!file) return status(sw);
    if (file->kind != CardFile::Kind::Transparent) return status(0x6981);
    if (apdu.data.empty()) return status(0x6700);
    Bytes& content = file->content;
    if (offset > content.size()) return status(0x6B00);
    // A transparent EF keeps the size it was created with.
    if (offset + apdu.data.size() > content.size()) return status(0x6A84);
    std::copy(apdu.data.begin(), apdu.data.end(),
              content.begin() + static_cast<std::ptrdiff_t>(offset));
    return status(0x9000);
}

Bytes FileSystem::readRecord(const Apdu& apdu) {
    if ((apdu.p2 & 0x07) != 0x04) return status(0x6A86);  // by record number only
    if (apdu.p1 == 0) return status(0x6A86);
    std::uint16_t sw = 0;
    CardFile* file = target(apdu.p2 >> 3, sw);
    if (!file) return status(sw);
    if (file->kind != CardFile::Kind::Records) return status(0x6981);
    if (apdu.p1 > file->records.size()) return status(0x6A83);
    const Bytes& record = file->records[apdu.p1 - 1];
    if (apdu.le && apdu.expected() < record.size()) {
        return withStatus(Bytes(record.begin(), record.begin() + static_cast<std::ptrdiff_t>(apdu.expected())),
                          0x6282);
    }
    return withStatus(record, 0x9000);
}

}  // namespace vcard
