// CDirHelp: which names a search collects, in which order it hands them
// out, and what it never collects (hidden files, excluded and "uploading"
// extensions, directories, pipes, locked folders in recursive mode).

#include "tests/cert/CertObjectTestUtil.h"
#include "src/cert/DirHelp.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

using kivo::test::certobject::ScratchDir;

namespace {

// Every path the walker hands out, in hand-out order.
std::vector<std::string> drain(CDirHelp& walker) {
    std::vector<std::string> paths;
    CDirHelp::Entry entry;
    while (walker.NextEntry(entry) == 0) {
        EXPECT_FALSE(entry.isDirectory);
        paths.push_back(entry.path);
    }
    return paths;
}

}  // namespace

TEST(DirHelp, PatternHiddenFilesAndDirectories) {
    ScratchDir dir;
    for (const char* name : {"b.pem", "A2.PEM", ".hidden.pem", "notes.txt", "b.pem.bak"}) dir.write(name, "x");
    dir.makeDir("folder.pem");
    dir.write("sub/inner.pem", "x");

    CDirHelp walker(dir.path(), "*.pem", "xxx", 0, 100000);
    ASSERT_EQ(walker.EntryCount(), 2);
    // Found in byte order (A2.PEM before b.pem), handed out from the back;
    // the pattern ignores case as the Windows search does.
    EXPECT_EQ(drain(walker), (std::vector<std::string>{dir.file("b.pem"), dir.file("A2.PEM")}));
    EXPECT_EQ(walker.EntryCount(), 0);
    CDirHelp::Entry entry;
    EXPECT_EQ(walker.NextEntry(entry), -1);
}

TEST(DirHelp, ExtensionRules) {
    ScratchDir dir;
    for (const char* name : {"keep.pem", "plain", "skip.xxx", "part.uploading", "part.pem-uploading1",
                             "keep.XXX", ".profile"}) {
        dir.write(name, "x");
    }
    // "*.*" matches names without a dot too; the excluded extension is
    // compared exactly, so "XXX" stays.
    CDirHelp all(dir.path(), "*.*", "xxx", 0, 100000);
    EXPECT_EQ(drain(all), (std::vector<std::string>{dir.file("plain"), dir.file("keep.pem"), dir.file("keep.XXX")}));

    // Without an excluded extension only the "uploading" rule remains.
    CDirHelp noExclusion(dir.path(), "*.*", "", 0, 100000);
    EXPECT_EQ(noExclusion.EntryCount(), 4);

    CDirHelp question(dir.path(), "keep.?e?", "", 0, 100000);
    EXPECT_EQ(drain(question), (std::vector<std::string>{dir.file("keep.pem")}));
}

TEST(DirHelp, MaximumCountAndSeparator) {
    ScratchDir dir;
    for (const char* name : {"1.crt", "2.crt", "3.crt", "4.crt", "5.crt"}) dir.write(name, "x");

    CDirHelp limited(dir.path(), "*.crt", "xxx", 0, 3);
    EXPECT_EQ(drain(limited), (std::vector<std::string>{dir.file("3.crt"), dir.file("2.crt"), dir.file("1.crt")}));

    // A start directory that ends in "/" gets no second separator.
    CDirHelp trailing(dir.path() + "/", "5.crt", "xxx", 0, 10);
    EXPECT_EQ(drain(trailing), (std::vector<std::string>{dir.file("5.crt")}));

    CDirHelp none(dir.path(), "*.crt", "xxx", 0, 0);
    EXPECT_EQ(none.EntryCount(), 0);
}

TEST(DirHelp, RecursiveModeSkipsLockedFolders) {
    ScratchDir dir;
    dir.write("top.pem", "x");
    dir.write("open/a.pem", "x");
    dir.write("busy/b.pem", "x");
    dir.write("busy.lock", "");
    dir.write("open/deeper/c.pem", "x");
    // A folder whose companion ".lock" is itself a folder is not locked.
    dir.write("odd/d.pem", "x");
    dir.makeDir("odd.lock");

    CDirHelp flat(dir.path(), "*.pem", "xxx", 0, 100);
    EXPECT_EQ(drain(flat), (std::vector<std::string>{dir.file("top.pem")}));

    CDirHelp recursive(dir.path(), "*.pem", "xxx", 1, 100);
    auto found = drain(recursive);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{dir.file("odd/d.pem"), dir.file("open/a.pem"),
                                               dir.file("open/deeper/c.pem"), dir.file("top.pem")}));
}

TEST(DirHelp, WhatCannotBeSearchedGivesNoEntries) {
    ScratchDir dir;
    ASSERT_EQ(::mkfifo(dir.file("pipe.pem").c_str(), 0600), 0);
    dir.write("real.pem", "x");
    CDirHelp walker(dir.path(), "*.pem", "xxx", 0, 100);
    EXPECT_EQ(drain(walker), (std::vector<std::string>{dir.file("real.pem")}));

    CDirHelp missing(dir.file("no-such-folder"), "*.pem", "xxx", 0, 100);
    EXPECT_EQ(missing.EntryCount(), 0);

    CDirHelp empty;
    CDirHelp::Entry entry;
    EXPECT_EQ(empty.EntryCount(), 0);
    EXPECT_EQ(empty.NextEntry(entry), -1);

    // Directory, separator and pattern must fit the 1024-byte search path.
    std::string deep = dir.path();
    while (deep.size() < 1100) deep += "/" + std::string(200, 'd');
    std::filesystem::create_directories(deep);
    { std::ofstream(deep + "/found.pem") << "x"; }
    CDirHelp tooLong(deep, "*.pem", "xxx", 0, 100);
    EXPECT_EQ(tooLong.EntryCount(), 0);
    // Descending into that folder from above runs into the same bound.
    CDirHelp fromAbove(deep.substr(0, deep.rfind('/')), "*", "xxx", 1, 100);
    EXPECT_EQ(fromAbove.EntryCount(), 0);
}
