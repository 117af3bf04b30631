#include "src/verify/VerifyFileCache.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/statfs.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string_view>
#include <list>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace kivo::verify {
namespace {

enum class Kind { Pem, Crl };

// What tells one version of a file from another. The change time counts
// too: a file rewritten in place with its size and modification time kept
// (cp -p, touch -r, an unpacked archive) still gets a new change time,
// which no user program can set back.
struct Identity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    bool operator==(const Identity&) const = default;
};

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

Identity identityOf(const struct stat& info) {
    return {info.st_dev, info.st_ino, info.st_size, nanoseconds(info.st_mtim), nanoseconds(info.st_ctim)};
}

struct Entry {
    Identity identity;
    ParsedFilePtr parsed;
    std::list<std::pair<Kind, std::string>>::iterator recency;  // position in the LRU list
};

class FileCache {
public:
    // The parsed objects for the file open as `file`, whose identity is
    // `identity`; parses and stores them on a miss.
    ParsedFilePtr get(const std::string& path, Kind kind, std::FILE* file, const Identity& identity) {
        if (ParsedFilePtr cached = find(path, kind, identity)) return cached;
        // Parsed outside the lock: other threads go on meanwhile.
        ParsedFilePtr parsed = kind == Kind::Pem ? parsePem(file) : parseCrl(file);
        if (parsed) fillLazyCaches(*parsed);
        if (parsed && static_cast<std::size_t>(identity.size) <= kMaxCachedFileSize) store({kind, path}, identity, parsed);
        return parsed;
    }

    // The entry of `path` when it was read from a file of `identity`.
    ParsedFilePtr find(const std::string& path, Kind kind, const Identity& identity) {
        std::lock_guard lock(m_mutex);
        auto& entries = m_entries[static_cast<int>(kind)];
        auto found = entries.find(path);
        if (found == entries.end() || !(found->second.identity == identity)) return nullptr;
        m_recency.splice(m_recency.begin(), m_recency, found->second.recency);
        return found->second.parsed;
    }

    void clear() {
        std::lock_guard lock(m_mutex);
        for (auto& entries : m_entries) entries.clear();
        m_recency.clear();
        m_bytes = 0;
    }

    FileCacheUsage usage() {
        std::lock_guard lock(m_mutex);
        return {m_recency.size(), m_bytes};
    }

private:
    using Key = std::pair<Kind, std::string>;
    using Entries = std::unordered_map<std::string, Entry>;

    void store(const Key& key, const Identity& identity, const ParsedFilePtr& parsed) {
        std::lock_guard lock(m_mutex);
        Entries& entries = m_entries[static_cast<int>(key.first)];
        auto found = entries.find(key.second);
        if (found != entries.end()) erase(key.first, found);
        m_recency.push_front(key);
        entries.emplace(key.second, Entry{identity, parsed, m_recency.begin()});
        m_bytes += static_cast<std::size_t>(identity.size);
        while (m_bytes > kMaxCachedFileBytes && !m_recency.empty()) {
            const Key& oldest = m_recency.back();
            Entries& from = m_entries[static_cast<int>(oldest.first)];
            erase(oldest.first, from.find(oldest.second));
        }
    }

    void erase(Kind kind, Entries::iterator entry) {
        m_bytes -= static_cast<std::size_t>(entry->second.identity.size);
        m_recency.erase(entry->second.recency);
        m_entries[static_cast<int>(kind)].erase(entry);
    }

    // OpenSSL sorts a CRL's revocation list on its first look-up; done
    // here, while only the loading thread holds the CRL, threads sharing it
    // only read it afterwards. Certificates are readied when handed out
    // (ParsedFile::certificatesNamed): a trust file holds many, a call uses
    // few.
    static void fillLazyCaches(const ParsedFile& parsed) {
        for (const CrlPtr& crl : parsed.crls) {
            X509_REVOKED* unused = nullptr;
            ASN1_INTEGER* serial = ASN1_INTEGER_new();
            if (serial != nullptr) X509_CRL_get0_by_serial(crl.get(), &unused, serial);
            ASN1_INTEGER_free(serial);
        }
        ERR_clear_error();
    }

    // As OpenSSL's file lookup reads a PEM file of certificates and CRLs.
    static ParsedFilePtr parsePem(std::FILE* file) {
        BioPtr bio(BIO_new_fp(file, BIO_NOCLOSE));
        STACK_OF(X509_INFO)* infos = bio ? PEM_X509_INFO_read_bio_ex(bio.get(), nullptr, nullptr,
                                                                     const_cast<char*>(""), nullptr, nullptr)
                                         : nullptr;
        ERR_clear_error();
        if (infos == nullptr) return nullptr;
        auto parsed = std::make_shared<ParsedFile>();
        for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
            X509_INFO* info = sk_X509_INFO_value(infos, i);
            if (info->x509 != nullptr) parsed->certificates.emplace_back(std::exchange(info->x509, nullptr));
            if (info->crl != nullptr) parsed->crls.emplace_back(std::exchange(info->crl, nullptr));
        }
        sk_X509_INFO_pop_free(infos, X509_INFO_free);
        return parsed;
    }

    // A CRL as DER and, failing that, as PEM.
    static ParsedFilePtr parseCrl(std::FILE* file) {
        BioPtr bio(BIO_new_fp(file, BIO_NOCLOSE));
        if (!bio) return nullptr;
        CrlPtr crl(d2i_X509_CRL_bio(bio.get(), nullptr));
        if (!crl && BIO_seek(bio.get(), 0) == 0) crl.reset(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
        ERR_clear_error();
        if (!crl) return nullptr;
        auto parsed = std::make_shared<ParsedFile>();
        parsed->crls.push_back(std::move(crl));
        return parsed;
    }

    std::mutex m_mutex;
    Entries m_entries[2];     // by Kind, keyed by path
    std::list<Key> m_recency;  // most recently used first
    std::size_t m_bytes = 0;
};

FileCache& cache() {
    static FileCache instance;
    return instance;
}

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Opens `path` and takes the identity of what was opened; the cache entry
// must match it.
ParsedFilePtr cachedFile(const std::string& path, Kind kind) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    struct stat info {};
    if (!file || ::fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    return cache().get(path, kind, file.get(), identityOf(info));
}


// The name ends in ".crl", in any case, as the platform's file search
// matches "*.crl".
bool hasCrlSuffix(const std::string& name) {
    constexpr std::string_view suffix = ".crl";
    if (name.size() <= suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(), name.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char a, char b) { return std::tolower(static_cast<unsigned char>(b)) == a; });
}

// File systems on which inotify reports every change of a directory's
// entries and files: local ones. Elsewhere changes made by other hosts
// would go unseen.
bool watchableFileSystem(const std::string& directory) {
    struct statfs info {};
    if (::statfs(directory.c_str(), &info) != 0) return false;
    switch (static_cast<unsigned long>(info.f_type)) {
        case 0xEF53:      // ext2, ext3, ext4
        case 0x58465342:  // xfs
        case 0x9123683E:  // btrfs
        case 0x01021994:  // tmpfs
        case 0x858458F6:  // ramfs
        case 0x794C7630:  // overlayfs
        case 0xF2F52010:  // f2fs
        case 0x2FC12FC1:  // zfs
            return true;
        default:
            return false;
    }
}

// A new listing of `directory`: each "*.crl" name with its stat and
// whether it may be read. `watchable` is cleared when an entry is reached
// through a link, whose target's changes a watch on the directory misses.
std::shared_ptr<CrlListing> listDirectory(const std::string& directory, bool* watchable) {
    std::error_code error;
    std::filesystem::directory_iterator entry(directory, error);
    if (error) return nullptr;
    auto listing = std::make_shared<CrlListing>();
    for (; entry != std::filesystem::directory_iterator(); entry.increment(error)) {
        if (error) break;
        const std::string name = entry->path().filename().string();
        if (!hasCrlSuffix(name)) continue;
        CrlListingEntry item;
        item.path = directory + "/" + name;
        item.found = ::stat(item.path.c_str(), &item.info) == 0;
        item.readable = item.found && ::faccessat(AT_FDCWD, item.path.c_str(), R_OK, AT_EACCESS) == 0;
        struct stat link {};
        if (::lstat(item.path.c_str(), &link) != 0 || S_ISLNK(link.st_mode) || (item.found && item.info.st_nlink > 1)) {
            *watchable = false;
        }
        listing->push_back(std::move(item));
    }
    return listing;
}

// Listings of CRL directories, reused while inotify reports no change.
class CrlDirectories {
public:
    std::shared_ptr<const CrlListing> listing(const std::string& directory) {
        struct stat self {};
        if (::stat(directory.c_str(), &self) != 0 || !S_ISDIR(self.st_mode)) return nullptr;
        std::uint64_t changesBefore = 0;
        {
            std::lock_guard lock(m_mutex);
            drainEvents();
            auto found = m_watched.find(directory);
            if (found != m_watched.end()) {
                Watched& watched = found->second;
                const bool sameDirectory = watched.device == self.st_dev && watched.inode == self.st_ino;
                if (sameDirectory && watched.descriptor >= 0 && watched.listing &&
                    watched.listedAt == watched.changes) {
                    return watched.listing;
                }
                if (!sameDirectory) forget(found);
            }
            changesBefore = watch(directory, self);
        }

        bool watchable = true;
        std::shared_ptr<CrlListing> fresh = listDirectory(directory, &watchable);
        if (!fresh) return nullptr;
        std::lock_guard lock(m_mutex);
        drainEvents();
        auto found = m_watched.find(directory);
        if (found != m_watched.end()) {
            Watched& watched = found->second;
            if (!watchable) {
                forget(found);
            } else {
                // A change while listing leaves the listing stale for the next call.
                watched.listing = fresh;
                watched.listedAt = changesBefore;
            }
        }
        return fresh;
    }

private:
    struct Watched {
        int descriptor = -1;
        dev_t device = 0;
        ino_t inode = 0;
        std::uint64_t changes = 0;   // events seen for the directory
        std::uint64_t listedAt = 0;  // `changes` when `listing` was begun
        std::shared_ptr<const CrlListing> listing;
    };

    static constexpr std::uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_MODIFY |
                                             IN_ATTRIB | IN_CLOSE_WRITE | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

    // Watches `directory` (when it may be, and is not yet); the change count
    // from which a listing begun now is current. The watch is in place
    // before the listing begins, so no change during it goes unseen.
    std::uint64_t watch(const std::string& directory, const struct stat& self) {
        auto found = m_watched.find(directory);
        if (found != m_watched.end()) return found->second.changes;
        if (m_watched.size() >= kMaxWatchedDirectories || !watchableFileSystem(directory)) return 0;
        if (m_inotify < 0) m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_inotify < 0) return 0;
        const int descriptor = ::inotify_add_watch(m_inotify, directory.c_str(), kEvents);
        if (descriptor < 0) return 0;
        Watched watched;
        watched.descriptor = descriptor;
        watched.device = self.st_dev;
        watched.inode = self.st_ino;
        // Nothing listed yet: the first listing is current only when no
        // change came in while it was made.
        watched.changes = 1;
        watched.listedAt = 0;
        m_byDescriptor[descriptor] = directory;
        m_watched.emplace(directory, std::move(watched));
        return 1;
    }

    void forget(std::unordered_map<std::string, Watched>::iterator found) {
        if (found->second.descriptor >= 0) {
            ::inotify_rm_watch(m_inotify, found->second.descriptor);
            m_byDescriptor.erase(found->second.descriptor);
        }
        m_watched.erase(found);
    }

    // Counts every queued event against its directory; an overflowed queue
    // counts against all of them.
    void drainEvents() {
        if (m_inotify < 0) return;
        alignas(struct inotify_event) char buffer[8192];
        for (;;) {
            const ssize_t length = ::read(m_inotify, buffer, sizeof buffer);
            if (length <= 0) return;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= length;) {
                const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
                changed(event->wd, event->mask);
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
            }
        }
    }

    void changed(int descriptor, std::uint32_t mask) {
        if ((mask & IN_Q_OVERFLOW) != 0) {
            for (auto& [name, watched] : m_watched) ++watched.changes;
            return;
        }
        const auto name = m_byDescriptor.find(descriptor);
        if (name == m_byDescriptor.end()) return;
        const auto watched = m_watched.find(name->second);
        if (watched == m_watched.end()) return;
        ++watched->second.changes;
        if ((mask & IN_IGNORED) != 0) {
            // The watch is gone (directory removed): list anew from now on.
            m_byDescriptor.erase(name);
            m_watched.erase(watched);
        }
    }

    std::mutex m_mutex;
    int m_inotify = -1;
    std::unordered_map<std::string, Watched> m_watched;
    std::unordered_map<int, std::string> m_byDescriptor;
};

CrlDirectories& directories() {
    static CrlDirectories instance;
    return instance;
}

}  // namespace

std::vector<X509*> ParsedFile::certificatesNamed(const X509_NAME* name) const {
    std::vector<X509*> named;
    std::lock_guard lock(m_stateMutex);
    m_cachesFilled.resize(certificates.size());
    for (std::size_t i = 0; i < certificates.size(); ++i) {
        X509* certificate = certificates[i].get();
        if (X509_NAME_cmp(X509_get_subject_name(certificate), name) != 0) continue;
        if (!m_cachesFilled[i]) X509_check_purpose(certificate, -1, 0);
        m_cachesFilled[i] = true;
        named.push_back(certificate);
    }
    ERR_clear_error();
    return named;
}

bool ParsedFile::crlSignedBy(X509* issuer) const {
    std::array<unsigned char, 32> key{};
    unsigned int length = 0;
    if (crls.empty() || issuer == nullptr || X509_pubkey_digest(issuer, EVP_sha256(), key.data(), &length) != 1) {
        ERR_clear_error();
        return false;
    }
    {
        std::lock_guard lock(m_stateMutex);
        for (const auto& [checked, verified] : m_signatureChecks) {
            if (checked == key) return verified;
        }
    }
    EVP_PKEY* publicKey = X509_get0_pubkey(issuer);
    const bool verified = publicKey != nullptr && X509_CRL_verify(crls.front().get(), publicKey) == 1;
    ERR_clear_error();
    std::lock_guard lock(m_stateMutex);
    m_signatureChecks.emplace_back(key, verified);
    return verified;
}

ParsedFilePtr pemFile(const std::string& path) { return cachedFile(path, Kind::Pem); }

ParsedFilePtr crlFile(const CrlListingEntry& entry) {
    // An unreadable file fails as if there were no cache.
    if (!entry.found || !entry.readable) return nullptr;
    if (ParsedFilePtr cached = cache().find(entry.path, Kind::Crl, identityOf(entry.info))) return cached;
    return cachedFile(entry.path, Kind::Crl);
}

std::shared_ptr<const CrlListing> crlListing(const std::string& directory) { return directories().listing(directory); }

void clearFileCache() { cache().clear(); }

FileCacheUsage fileCacheUsage() { return cache().usage(); }

}  // namespace kivo::verify
