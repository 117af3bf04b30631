// CDirHelp: which names a search collects, in which order it hands them
// out, and what it never collects (hidden files, excluded and "uploading"
// extensions, directories, pipes, locked folders in recursive mode).

#include "src/cert/DirHelp.h"
#include "tests/cert/CertObjectTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

using kivo::test::TempDir;

namespace {

// The names the walker hands out, in hand-out order, relative to `dir`.
std::vector<std::string> found(const TempDir& dir, const std::string& start, const char* pattern,
                               const char* excluded, int recursive, int maximum) {
    CDirHelp walker(start, pattern, excluded, recursive, maximum);
    std::vector<std::string> names;
    CDirHelp::Entry entry;
    while (walker.NextEntry(entry) == 0) {
        EXPECT_FALSE(entry.isDirectory);
        names.push_back(entry.path.substr(dir.path().string().size() + 1));
    }
    EXPECT_EQ(walker.NextEntry(entry), -1);
    return names;
}

using Names = std::vector<std::string>;

}  // namespace

TEST(DirHelp, WhatASearchCollectsAndInWhichOrder) {
    TempDir dir;
    for (const char* name : {"b.pem", "A2.PEM", ".hidden.pem", "notes.txt", "b.pem.bak", "plain", "skip.xxx",
                             "part.uploading", "part.pem-uploading1", "keep.XXX", "sub/inner.pem"}) {
        kivo::test::certobject::write(dir, name, std::string("x"));
    }
    ::mkfifo(dir.file("pipe.pem").c_str(), 0600);
    dir.folder("folder.pem");
    const std::string path = dir.path().string();
    // Found in byte order, handed out from the back; the pattern ignores
    // case as the Windows search does; "*.*" matches names without a dot;
    // the excluded extension is compared exactly; a name containing
    // "uploading" in its extension never comes.
    EXPECT_EQ(found(dir, path, "*.pem", "xxx", 0, 100), (Names{"b.pem", "A2.PEM"}));
    EXPECT_EQ(found(dir, path, "*.*", "xxx", 0, 100),
              (Names{"plain", "notes.txt", "keep.XXX", "b.pem.bak", "b.pem", "A2.PEM"}));
    EXPECT_EQ(found(dir, path, "*.*", "", 0, 100).size(), 7u);
    EXPECT_EQ(found(dir, path, "b.?e?", "", 0, 100), (Names{"b.pem"}));
    EXPECT_EQ(found(dir, path, "*.*", "xxx", 0, 2), (Names{"b.pem", "A2.PEM"}));  // the first two found
    EXPECT_EQ(found(dir, path + "/", "b.pem", "xxx", 0, 10), (Names{"b.pem"}));  // no second separator
    EXPECT_TRUE(found(dir, path, "*.pem", "xxx", 0, 0).empty());
    EXPECT_TRUE(found(dir, dir.file("no-such-folder"), "*.pem", "xxx", 0, 100).empty());
}

TEST(DirHelp, RecursiveModeSkipsLockedFolders) {
    TempDir dir;
    // A folder whose companion ".lock" is itself a folder is not locked.
    for (const char* name : {"top.pem", "open/a.pem", "busy/b.pem", "busy.lock", "open/deeper/c.pem", "odd/d.pem"}) {
        kivo::test::certobject::write(dir, name, std::string("x"));
    }
    dir.folder("odd.lock");
    EXPECT_EQ(found(dir, dir.path().string(), "*.pem", "xxx", 0, 100), (Names{"top.pem"}));
    Names all = found(dir, dir.path().string(), "*.pem", "xxx", 1, 100);
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, (Names{"odd/d.pem", "open/a.pem", "open/deeper/c.pem", "top.pem"}));
}

TEST(DirHelp, SearchPathBeyond1024BytesGivesNoEntries) {
    TempDir dir;
    std::string deep = dir.path().string();
    while (deep.size() < 1100) deep += "/" + std::string(200, 'd');
    std::filesystem::create_directories(deep);
    std::ofstream(deep + "/found.pem") << "x";
    EXPECT_EQ(CDirHelp(deep, "*.pem", "xxx", 0, 100).EntryCount(), 0);
    // Descending into that folder from above runs into the same bound.
    EXPECT_EQ(CDirHelp(deep.substr(0, deep.rfind('/')), "*", "xxx", 1, 100).EntryCount(), 0);
    CDirHelp empty;
    EXPECT_EQ(empty.EntryCount(), 0);
}
