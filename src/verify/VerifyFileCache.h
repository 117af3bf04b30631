// A process-wide cache of the certificates and CRLs that verification reads
// from files, so that a trust file or a CRL directory is parsed once and
// not for every signature.
//
// Entries are keyed by path and checked against the file's identity
// (device, inode, size, modification and change time in nanoseconds) on
// every use: the file is opened and its identity taken from the open
// descriptor, so a file that changed, was replaced or vanished is read
// again (or fails) exactly as if there were no cache, and what is cached
// is always what was read through that descriptor. Objects are shared read-only; each caller's
// store takes its own references. Safe under concurrent use; bounded by
// kMaxCachedFileBytes of file size (parsed objects take a few times their
// file size), least recently used files leaving first.
#pragma once

#include "src/frame/OpenSSLHandles.h"

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

namespace kivo::verify {

// Sum of the sizes of the files whose parsed objects the cache keeps.
inline constexpr std::size_t kMaxCachedFileBytes = 32u * 1024u * 1024u;
// Files larger than this are read for each use and not cached.
inline constexpr std::size_t kMaxCachedFileSize = 8u * 1024u * 1024u;

// What one file holds, in file order.
struct ParsedFile {
    std::vector<X509Ptr> certificates;
    std::vector<CrlPtr> crls;

    // The certificates whose subject is `name`, in file order. OpenSSL
    // fills some caches of a certificate on first use (the decoded
    // extensions); they are filled here, once per certificate and under a
    // lock, before a certificate is handed out, so that threads sharing it
    // only read it.
    std::vector<X509*> certificatesNamed(const X509_NAME* name) const;

    // Whether the first CRL's signature verifies with `issuer`'s key,
    // remembered per key, so that a cached CRL is verified once and not on
    // every call.
    bool crlSignedBy(X509* issuer) const;

private:
    // Guards the lazily filled state below (first-use caches of the
    // certificates and the CRL signature memo): both are rare, short sections.
    mutable std::mutex m_stateMutex;
    mutable std::vector<bool> m_cachesFilled;  // by index into `certificates`
    mutable std::vector<std::pair<std::array<unsigned char, 32>, bool>> m_signatureChecks;
};
using ParsedFilePtr = std::shared_ptr<const ParsedFile>;

// The certificates and CRLs of the PEM file `path` as OpenSSL's file lookup
// reads them; null when the file cannot be opened or does not parse.
ParsedFilePtr pemFile(const std::string& path);

// One "*.crl" name of a CRL directory as its listing found it.
struct CrlListingEntry {
    std::string path;        // directory + "/" + name
    struct stat info {};     // what stat said (zero when stat failed)
    bool found = false;      // stat succeeded
    bool readable = false;   // the process may read it
};
using CrlListing = std::vector<CrlListingEntry>;

// The "*.crl" files of `directory` in the order the file system lists
// them (in any letter case of the suffix), each with its stat; null when
// the directory cannot be read. A directory on a local file system is
// watched (inotify) after its first listing, and its listing is reused
// until anything in it changes: a file added, removed, renamed, written or
// changed in its permissions, or the directory itself replaced. Elsewhere
// (network file systems, files reached through symbolic or hard links,
// more than kMaxWatchedDirectories directories) every call lists the
// directory again, one stat per file.
std::shared_ptr<const CrlListing> crlListing(const std::string& directory);
inline constexpr std::size_t kMaxWatchedDirectories = 16;

// The CRL of a listed file, read as DER and, failing that, as PEM (one
// entry in `crls`); null when it is neither or the file cannot be read.
// When the listing's identity of the file is the cached entry's, the entry
// is used without opening the file.
ParsedFilePtr crlFile(const CrlListingEntry& entry);

// Drops every entry (tests, and hosts that want the memory back).
void clearFileCache();

// Number of files and the summed file size the cache holds now.
struct FileCacheUsage {
    std::size_t files = 0;
    std::size_t bytes = 0;
};
FileCacheUsage fileCacheUsage();

}  // namespace kivo::verify
