// The file an operation writes its product to (a patch, an exported BMP).
//
// The output is written in place, over what it held, rather than emptied
// when opened: emptying an existing file of hundreds of megabytes costs more
// than writing it. It still ends exactly as if emptied first: an existing
// output is cut to one byte short of where the new content first reads as
// whole before writing, so it gets there only with the new content's own
// bytes (a run stopped before, even by a signal, leaves a file too short to
// be taken for a whole one; a checked patch stopped in its check block reads
// as the whole raw patch it holds), and a failure cuts it to what the run
// wrote. An output that is one of the
// inputs, by whatever path, is refused before it is opened.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "base/buffers.h"
#include "archive/archive.h"

namespace velmorin {

struct output_file {
    const char* path;
    file_guard file;
    bool regular;
    int64_t written;
    int64_t whole_at = -1;  // as open_output() was given it
};

// An output that is the error stream is refused, the run's messages would
// land in it (as one whose identity cannot be read might); one that is (or
// may be) standard output takes it over: text meant for it goes to the error
// stream.
void judge_output_streams(const file_info& info, const char* path);

// Opens `out.path` write-only, creating it with mode 0666 less the umask.
// `other_input`: a second input it must not be, or nullptr. `whole_at`: the
// size at which the output first reads as whole (a patch's pixel bytes, a
// BMP's file), or -1 when the run is known to end before writing, in which
// case the output is emptied as opening it for output does.
void open_output(output_file& out, const archive_file& archive, const file_info* other_input, int64_t whole_at);

// The same with any number of other inputs it must not be.
void open_output(output_file& out, const archive_file& archive, const std::vector<file_info>& other_inputs,
                 int64_t whole_at);

// Creates `out.path`, which must not exist (a file there is never
// overwritten), write-only, with mode 0666 less the umask.
void open_new_output(output_file& out);

// Writes the output's next `count` bytes; ends the run if they cannot be.
void write_output(output_file& out, const uint8_t* bytes, size_t count);

// Ends the run on a failure met after the output was opened: the output is
// cut to what was written, then `message` is printed.
[[noreturn]] void output_failed(output_file& out, const char* message);

// Closes the output; ends the run if that fails.
void close_output(output_file& out);

// Writes an output's bands on a second thread while the caller makes the
// next one, for an operation whose making costs about what writing does
// (the export). The caller fills one band of band_bytes while the other is
// written, in order; a write that falls short stops the writing, and the
// caller's next call ends the run with the output cut to what was written.
struct band_writer {
    output_file* out = nullptr;
    byte_buffer slot[2];
    size_t len[2] = {0, 0};
    bool full[2] = {false, false};
    int filling = 0;       // the slot the caller fills
    bool closing = false;  // no more bands come
    bool failed = false;
    bool one_thread = false;  // no second thread could be had: bands are written as handed over
    std::mutex lock;
    std::condition_variable changed;
    std::thread thread;
    band_writer();  // its bands, made before the output is opened
    band_writer(const band_writer&) = delete;
    band_writer& operator=(const band_writer&) = delete;
    ~band_writer();  // lets the thread finish when the run ends early
};

void start_bands(band_writer& writer, output_file& out);

// The band to fill next, of band_bytes.
uint8_t* band_to_fill(band_writer& writer);

// Hands over the band being filled, holding `len` bytes.
void band_filled(band_writer& writer, size_t len);

// Waits until every band handed over is written.
void finish_bands(band_writer& writer);

// Ends the run on a failure met while making the bands: the writing stops,
// the output is cut to what was written, then `message` is printed.
[[noreturn]] void bands_failed(band_writer& writer, const char* message);

}  // namespace velmorin
