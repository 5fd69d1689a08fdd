// scatter_arts: takes the gathered chunks in index order and writes each back at its
// record's start, printing one line per record.
#include "art_files.h"
#include "chunk_copy.h"
#include "ordered_ring.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run.h"
#include "threads.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <thread>

namespace art {

namespace {

// Pairs of upper-case hexadecimal digits for every byte value.
struct hex_pairs {
    char at[256][2];
    constexpr hex_pairs() : at() {
        for (int b = 0; b < 256; ++b) {
            at[b][0] = "0123456789ABCDEF"[b >> 4];
            at[b][1] = "0123456789ABCDEF"[b & 15];
        }
    }
};
constexpr hex_pairs HEX{};

// Writes value in upper-case hexadecimal, every significant digit and at least 8;
// returns the end.
char* put_hex(char* out, const uint64_t value) {
    int digits = 8;
    while (digits < 16 && (value >> (4 * digits)) != 0) ++digits;
    if (digits & 1) *out++ = "0123456789ABCDEF"[(value >> (4 * (digits - 1))) & 15];
    for (int shift = 8 * (digits / 2 - 1); shift >= 0; shift -= 8) {
        std::memcpy(out, HEX.at[(value >> shift) & 255], 2);
        out += 2;
    }
    return out;
}

// A decimal record position of at least 6 digits, counted up in place.
class position_digits {
public:
    explicit position_digits(uint64_t position) {
        size_t at = sizeof digits_;
        do {
            digits_[--at] = static_cast<char>('0' + position % 10);
            position /= 10;
        } while (position != 0);
        if (at < first_) first_ = at;
    }
    const char* begin() const { return digits_ + first_; }
    size_t size() const { return sizeof digits_ - first_; }
    void next() {
        size_t at = sizeof digits_ - 1;
        while (at > 0 && digits_[at] == '9') digits_[at--] = '0';
        ++digits_[at];
        if (at < first_) first_ = at;
    }

private:
    char digits_[20] = {'0', '0', '0', '0', '0', '0', '0', '0', '0', '0',
                        '0', '0', '0', '0', '0', '0', '0', '0', '0', '0'};
    size_t first_ = sizeof digits_ - 6;
};

// The lines go out in blocks of this many records, each formatted whole by one thread.
constexpr uint64_t BLOCK_RECORDS = 8192;
// The longest line, and the most that a block's lines take.
constexpr size_t LONGEST_LINE = 20 + 1 + 16 + 1 + 8 + 2;
constexpr size_t BLOCK_BYTES = BLOCK_RECORDS * LONGEST_LINE;

// "%06i %08X %08X\n" for records [first, last): the position, where the chunk lies in the
// loaded gathered text (every significant digit of the address), and the chunk's length;
// gathered_offset is where chunk first begins in the gathered text. Returns the end of the
// lines.
char* format_lines(char* out, const unsigned char* gathered, const unsigned char* index, const uint64_t n,
                   const uint64_t first, const uint64_t last, const uint64_t gathered_offset) {
    position_digits position(first);
    for (chunk_cursor c(index, n, first, gathered_offset); c.position() < last; c.next(), position.next()) {
        std::memcpy(out, position.begin(), position.size());
        out += position.size();
        *out++ = ' ';
        out = put_hex(out, reinterpret_cast<uintptr_t>(gathered) + c.gathered_offset());
        *out++ = ' ';
        out = put_hex(out, c.length());
        if (CRLF_LINES) *out++ = '\r';
        *out++ = '\n';
    }
    return out;
}

// Scatter's lines, block by block, on any number of threads that each run work(): an
// ordered ring whose threads format the next block into a free slot of BLOCK_BYTES at
// lines, and whose writer prints the blocks in order. Once stopped, no block is begun or
// printed: at most the one being printed goes out.
class chunk_lines {
public:
    static constexpr size_t MOST_SLOTS = 16;

    // slots (1 to MOST_SLOTS) blocks of BLOCK_BYTES at lines.
    chunk_lines(const unsigned char* gathered, const unsigned char* index, const uint64_t n, char* lines,
                const size_t slots)
        : gathered_(gathered), index_(index), n_(n), lines_(lines),
          ring_((n + BLOCK_RECORDS - 1) / BLOCK_RECORDS, slots, SCATTERED_FILE) {}

    size_t slots() const { return ring_.slots(); }

    void work() {
        ring_.work(
            [this](const uint64_t block, const size_t k) {
                // In block order: where the block's first chunk begins, past the blocks before it.
                offset_[k] = next_offset_;
                next_offset_ += chunks_length(index_, n_, first(block), last(block));
            },
            [this](const uint64_t block, const size_t k) {
                char* const lines = lines_ + k * BLOCK_BYTES;
                const char* const end = format_lines(lines, gathered_, index_, n_, first(block), last(block), offset_[k]);
                size_[k] = static_cast<size_t>(end - lines);
                return ART_OK;
            },
            [this](uint64_t, const size_t k) {
                print_lines(lines_ + k * BLOCK_BYTES, size_[k]);
                return ART_OK;
            });
    }

    void stop() { ring_.stop(); }

private:
    uint64_t first(const uint64_t block) const { return block * BLOCK_RECORDS; }
    uint64_t last(const uint64_t block) const { return std::min(first(block) + BLOCK_RECORDS, n_); }

    const unsigned char* const gathered_;
    const unsigned char* const index_;
    const uint64_t n_;
    char* const lines_;
    art::ordered_ring ring_;
    uint64_t next_offset_ = 0;          // where the first chunk of the next block claimed begins
    uint64_t offset_[MOST_SLOTS] = {};  // per slot, where its block's first chunk begins
    size_t size_[MOST_SLOTS] = {};      // per slot, the bytes of its block's lines
};

// The ring of a run that cannot allocate one: a single slot, the lines formatted and
// written in turn.
char single_slot[BLOCK_BYTES];

// Runs copy while the lines go out on threads of their own, as many as may run at once
// (here, before the copy, where no thread can be started); a failed copy stops them, as
// it would have stopped one thread at the record that failed. Returns copy's status.
template <typename Copy>
art_status copy_while_printing(const loaded_inputs& in, const unsigned most_threads, Copy&& copy) {
    const uint64_t blocks = (in.n + BLOCK_RECORDS - 1) / BLOCK_RECORDS;
    const size_t threads = parts_for(blocks, most_threads, 1);
    size_t slots = std::min<size_t>(chunk_lines::MOST_SLOTS, threads == 1 ? 1 : 2 * threads);
    const std::unique_ptr<char[]> ring(slots == 1 ? nullptr : new (std::nothrow) char[slots * BLOCK_BYTES]);
    if (!ring) slots = 1;
    chunk_lines lines(in.source.data, in.index.data, in.n, ring ? ring.get() : single_slot, slots);
    std::thread printers[chunk_lines::MOST_SLOTS];
    size_t started = 0;
    for (size_t k = 0; k < std::min(threads, lines.slots()); ++k) {
        try {
            printers[started] = std::thread([&lines] { lines.work(); });
            ++started;
        } catch (const std::exception&) {
            break;
        }
    }
    if (started == 0) lines.work();
    const struct joiner {
        std::thread* t;
        size_t count;
        ~joiner() {
            for (size_t k = 0; k < count; ++k) t[k].join();
        }
    } join_printers{printers, started};
    const art_status work = copy();
    if (!work.ok()) lines.stop();
    return work;
}

int scatter() {
    static loaded_inputs in{};  // held until process exit, as the loaded buffers are
    if (const int status = load_inputs(GATHERED_FILE, SCATTERED_FILE, &in)) return status;

    const index_breach breach = check_scatter_index(in.index.data, in.n, in.source.size);
    output_file scattered;
    if (const int status = open_output(scattered, SCATTERED_FILE, in, breach)) return status;

    const copy_limits limits = machine_limits();
    const art_status work = copy_while_printing(in, limits.threads, [&] {
        return scatter_chunks(in.source, in.index, scattered, limits);
    });
    return finish_run(scattered, end_of_work(scattered, work, {&in.source, &in.index}));
}

}  // namespace

}  // namespace art

// What --help prints.
static const char* const USAGE =
    "usage: scatter_arts\n"
    "Writes enwik_text2_vok_u: every article of enwik_text2_vok_r back at the offset of its\n"
    "record in enwik_art_idx, printing a line per record.\n"
    "Its files are in the working directory. --help: this; --version: the version. Any other\n"
    "argument is ignored.\n";

int main(int argc, char** argv) { return art::run_main("scatter_arts", art::scatter, argc, argv, USAGE); }
