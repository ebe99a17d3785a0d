// The game data archive: the open file, its directory entries and the walk
// over its directory and name table.
#pragma once

#include <cstdint>
#include <string>

#include "base/buffers.h"
#include "base/sources.h"

namespace velmorin {

// The open game data archive.
struct archive_file {
    file_guard handle;
    file_info info;
    const char* path = "";
    bool writes = false;  // the run writes its pixels: it takes the lock exclusively
    bool recovering = false;  // --recover: it acts on a journal even without locks
    bool locked = false;      // the lock was asked for
    bool lock_held = false;   // and taken: the file system has locks
};

// The directory block and the names a walk has read: bytes no payload may
// overlap.
struct directory_span {
    int64_t start;
    int64_t end;
};

// The one field of a directory entry the tool uses.
struct dir_entry {
    uint32_t length;  // bytes of the entry's stored data
};

// What a run found beside the archive once it held the lock: its journal
// (journal.h).
enum class recovery {
    none,                // no journal
    ignored_unfinished,  // a journal never completed, left for a writing run to remove
    removed_unfinished,  // a journal never completed, removed: the archive was not touched
    rolled_back,         // a complete journal, put back and removed
};

// Takes the run's lock on the archive (lock_file), once, before the first
// byte past the directory and the entries' headers is read or written: it
// is called by the three ways there, and by nothing else: open_payload()
// (the entry's pixels), start_write() (writing them) and read_input() (the
// archive itself given as an input). The directory and the entries' headers
// are read without it: no run ever writes them. An input that is a stream is
// read whole before it, since the stream's writer may be another run that
// holds the lock until the reader has taken everything
// (`velmorin --export ... /dev/stdout | velmorin ... /dev/stdin`).
// Then, under the lock, looks for the journal a run that died left
// (look_for_journal()) and says what it found; later calls find nothing.
recovery lock_archive(archive_file& archive);

// ---- the walk -------------------------------------------------------------

constexpr size_t name_capacity = 512;  // a stored name may hold 511 bytes at most

// The directory's entry table is read a window at a time, the names in order
// through a buffer: a million entries cost a few hundred reads and little
// memory.
struct dirent_window {
    byte_source table;
    byte_buffer buf;
    uint32_t first = 0;
    uint32_t count = 0;
};

struct name_reader {
    file_handle file;
    byte_buffer buf;
    int64_t left = -1;  // bytes up to the end of the file; -1 when not known
    size_t pos = 0;
    size_t len = 0;
    bool at_end = false;
    int64_t taken = 0;  // bytes handed out so far
};

struct directory_walk {
    archive_file* archive = nullptr;
    bool narrate = false;  // print the walk's "Debug:" lines
    int64_t dir_offset = 0;
    int64_t dir_size = 0;
    int64_t name_table = 0;
    uint32_t entry_count = 0;
    uint32_t next = 0;  // index of the next entry
    int64_t data_offset = 0;
    dirent_window window;
    name_reader names;
};

// One entry as the walk reads it.
struct walked_entry {
    uint32_t index;
    dir_entry entry;
    int64_t data_offset;  // 16 plus the lengths before it, in 64 bits
    uint16_t name_length;
    const uint8_t* name;  // valid until the next entry is read
    uint8_t storage[name_capacity];
};

// Reads the archive's header and directory header, checks the directory and
// makes ready to read its entries. Ends the run on a damaged archive.
void start_walk(archive_file& archive, bool narrate, directory_walk* walk);

// Reads the next entry; false after the last. Ends the run on a damaged
// archive.
bool next_entry(directory_walk& walk, walked_entry* e);

// Reads the remaining names, and nothing else, to the end of the directory.
// Ends the run on a damaged archive.
void check_names(directory_walk& walk);

// The directory block and the names the walk has read so far.
directory_span walked_span(const directory_walk& walk);

// ---- the lookup -------------------------------------------------------------

// An entry the lookup found: its directory entry, where its stored data
// begins, its full stored name, and the directory bytes read to find it.
struct located_entry {
    dir_entry entry;
    int64_t data_offset;
    std::string name;
    directory_span directory;
};

// The directory block and every name, walked again without a word (the
// archive's position moves); when the names cannot all be read, to the end
// of the file. Ends the run on a damaged directory header.
directory_span whole_directory(archive_file& archive);

// Walks the directory without a word to the first entry whose stored name
// is exactly `name`; false when there is none. Ends the run on a damaged
// archive.
bool find_exact(archive_file& archive, const std::string& name, located_entry* found);

// Walks the directory (the archive positioned at its start), narrating, to
// the first entry whose stored name begins with `name`; false, after the
// not-found line, when there is none.
bool find_entry(archive_file& archive, const char* name, located_entry* found);

}  // namespace velmorin
