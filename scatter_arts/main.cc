// scatter_arts: takes the gathered chunks in index order and writes each back at its
// record's start, printing one line per record.
#include "art_files.h"
#include "chunk_copy.h"
#include "platform/sys_io.h"
#include "report.h"
#include "run.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>

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

// "%06i %08X %08X\n" for every record: its position, where its chunk lies in the loaded
// gathered text (every significant digit of the address), and the chunk's length. Stops
// after the block of lines that it is making once stop is set.
void print_chunk_lines(const unsigned char* gathered, const unsigned char* index, const uint64_t n,
                       const std::atomic<bool>& stop) {
    static char lines[size_t{256} << 10];
    constexpr size_t LONGEST = 20 + 1 + 16 + 1 + 8 + 2;
    char* end = lines;
    position_digits position;
    for (chunk_cursor c(index, n); !c.done(); c.next(), position.next()) {
        std::memcpy(end, position.begin(), position.size());
        end += position.size();
        *end++ = ' ';
        end = put_hex(end, reinterpret_cast<uintptr_t>(gathered) + c.source());
        *end++ = ' ';
        end = put_hex(end, c.length());
        if (CRLF_LINES) *end++ = '\r';
        *end++ = '\n';
        if (end + LONGEST > lines + sizeof lines) {
            print_lines(lines, static_cast<size_t>(end - lines));
            end = lines;
            if (stop.load(std::memory_order_relaxed)) return;
        }
    }
    print_lines(lines, static_cast<size_t>(end - lines));
}

int scatter() {
    static loaded_inputs in{};  // held until process exit, as the loaded buffers are
    if (const int status = load_inputs(GATHERED_FILE, SCATTERED_FILE, &in)) return status;

    const index_breach breach = check_scatter_index(in.index.data, in.n, in.source.size);
    output_file scattered;
    if (const int status = open_output(scattered, SCATTERED_FILE, in, breach)) return status;

    // The lines go out on a thread of their own while the chunks are copied (here, where
    // no thread can be started); a failed copy stops them, as it would have stopped one
    // thread at the record that failed.
    art_status work = ART_OK;
    {
        std::atomic<bool> stop{false};
        const auto lines = [&] { print_chunk_lines(in.source.data, in.index.data, in.n, stop); };
        std::thread printer;
        try {
            printer = std::thread(lines);
        } catch (const std::system_error&) {
            lines();
        }
        const struct joiner {
            std::thread& t;
            ~joiner() {
                if (t.joinable()) t.join();
            }
        } join_printer{printer};
        work = scatter_chunks(in.source, in.index, scattered, machine_limits());
        stop = !work.ok();
    }
    return finish_run(scattered, end_of_work(scattered, work, {&in.source, &in.index}));
}

}  // namespace

int main() { return run_main("scatter_arts", scatter); }
