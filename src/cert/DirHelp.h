// CDirHelp: collects the files of a directory whose names match a pattern
// such as "*.pem", and hands them out one by one, last found first.
#pragma once

#include <string>
#include <vector>

class CDirHelp {
public:
    // One collected file: its full path, and a flag for directories (set
    // for none: directories are never collected).
    struct Entry {
        std::string path;
        bool isDirectory = false;
    };

    CDirHelp();
    // Searches at once. `pattern` takes "*" (any run of characters) and "?"
    // (one character), compared without regard to ASCII case; "*.*" matches
    // every name. Skipped: names beginning with ".", files whose extension
    // (after the last ".") equals `excludedExtension` (unless that is empty)
    // or contains "uploading", and anything that is not a regular file.
    // With `recursive` 1, every subdirectory that has no regular file named
    // <subdirectory>.lock beside it is searched too, after the start
    // directory. At most `maximum` files are collected.
    CDirHelp(const std::string& startDir, const std::string& pattern,
             const std::string& excludedExtension, int recursive, int maximum);
    virtual ~CDirHelp();

    int EntryCount() const;
    // Moves the last collected entry into `entry`; 0, or -1 when none is left.
    int NextEntry(Entry& entry);

private:
    // Searches one directory; in recursive mode queues its subdirectories
    // in m_DirList.
    void search(const std::string& directory);
    bool accepts(const std::string& name) const;

    // Directory, separator and pattern of the current search.
    static constexpr std::size_t kSearchPathSize = 1024;
    char m_searchPath[kSearchPathSize] = {};

    std::string m_pattern;
    std::string m_excludedExtension;
    bool m_recursive = false;
    int m_maximum = 0;
    int m_count = 0;
    // Directories still to search after the start directory (recursive mode).
    std::vector<std::string> m_DirList;
    std::vector<Entry> m_DirStack;
};
