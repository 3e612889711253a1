// Whole-file reads and atomic writes shared by every reader and writer of
// Kestrune's small text files.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace KestruneCore {

// Files we read whole are small; anything larger than this is treated as unreadable
// rather than pulled into memory.
inline constexpr std::size_t maxWholeFileBytes = 64u * 1024u * 1024u;

// The whole content of a regular file, or nullopt when it is missing, unreadable,
// not a regular file or larger than `limit`. Anything else (a FIFO, a device, a link
// to one) is never opened, and the open itself never blocks.
std::optional<std::string> readFile(const std::string& path, std::size_t limit = maxWholeFileBytes);

// readFile, then nullopt unless the bytes are valid UTF-8.
std::optional<std::string> readUtf8File(const std::string& path,
                                        std::size_t limit = maxWholeFileBytes);

// At most the last `maxBytes` bytes of a file (the whole file when smaller).
std::optional<std::string> readFileTail(const std::string& path, std::size_t maxBytes);

bool isValidUtf8(std::string_view bytes);

// Writes `content` to a temporary file in the target's folder and renames it over
// the target, so a reader sees the old or the new content, never a mix. The
// temporary file is removed on failure. Returns whether the target was replaced.
bool writeFileAtomically(const std::string& path, std::string_view content);
// The same, setting `errorNumber` to the errno of the step that failed (0 on success),
// so an error line can say why ("No space left on device").
bool writeFileAtomically(const std::string& path, std::string_view content, int& errorNumber);

// Where a write to `path` goes so that a symbolic link there (a dotfiles checkout)
// stays a link: the file at the end of its chain of links, or `path` itself when it
// is no link. A dangling link gives the path it names, created by the write when that
// path's folder exists. None, with `errorNumber` set, when the chain cannot be
// followed (a loop, an unreadable link).
std::optional<std::string> writeTarget(const std::string& path, int& errorNumber);

// writeFileAtomically for a small file rewritten every few seconds (a service's last
// check): the new content is written into a spare file beside it ("." + name +
// ".spare", the old file of the last swap) and the two are swapped, so a reader still
// sees the old or the new content, never a mix or no file. The spare is refilled only
// while nobody has it open; otherwise a new temporary file is swapped in and the old
// one removed. Unlike a rename over the old file, the swap does not make ext4 write
// the data out at once, so after a power cut the file may read as empty or garbled
// (readers take that as absent). Not for files whose loss would cost anything.
bool rewriteFileAtomically(const std::string& path, std::string_view content);

// writeFileAtomically to writeTarget(path): the temporary file is made beside the
// link's target and renamed over it, and the link is left in place.
bool writeThroughLinkAtomically(const std::string& path, std::string_view content);
bool writeThroughLinkAtomically(const std::string& path, std::string_view content,
                                int& errorNumber);

// How old a temporary file of writeFileAtomically must be before it counts as left
// behind by a killed writer: a writer that takes no edit lock may still be filling a
// fresh one, and a live write takes milliseconds.
inline constexpr std::chrono::seconds staleTemporaryAge{60};

// Removes the temporary files that killed writers of `path` left in its folder:
// regular files (never links or folders) named as writeFileAtomically names its
// temporaries for `path`, last changed more than `olderThan` ago. For the holder of
// the file's edit lock, under which no other editor is mid-write. How many it removed.
int removeStaleTemporaries(const std::string& path,
                           std::chrono::seconds olderThan = staleTemporaryAge);

// Opens (creating it) a file that is only ever flock()ed, read-only so closing it
// tells a folder watcher nothing was written. A symbolic link in its place is
// removed rather than followed, so the lock never creates or opens a file elsewhere.
// The descriptor, or -1 with errno set.
int openLockFile(const std::string& path);

// Creates a folder and its missing parents (mode 0755). Returns whether it exists now.
bool makeFolders(const std::string& path);

// The parent folder of a path ("" for a bare name, "/" for a top-level path).
std::string parentFolder(const std::string& path);

// The last path component ("Mail.app" for "/Applications/Mail.app/").
std::string lastPathComponent(const std::string& path);

// Splits text into lines at LF, dropping empty lines. One CR directly before an LF
// (hand-edited files with CR LF ends) is dropped; nothing else is trimmed.
std::vector<std::string> splitLines(std::string_view text);

// A field of a TAB-separated record: TAB, CR and LF become blanks, since the files
// have no quoting and one of them would split or break the record.
std::string singleLineField(std::string text);

// Appends `data` with one write on an O_APPEND descriptor (creating the file, never
// its folder), so lines from several writers never interleave within a line. A
// symbolic link, a FIFO or anything else that is not a regular file is not written.
bool appendToFile(const std::string& path, std::string_view data);

// Splits a line at every TAB, keeping empty fields.
std::vector<std::string> splitFields(std::string_view line);

bool fileExists(const std::string& path);
bool isDirectory(const std::string& path);
bool isExecutableFile(const std::string& path);

} // namespace KestruneCore
