// scatter_arts: takes the gathered chunks in index order and writes each back at its
// record's start, printing one line per record.
#include "art_files.h"
#include "chunk_copy.h"
#include "cli.h"

#include <cstdint>

// Writes value in digits of the given base, upper case, at least width of them; returns
// the end.
static char* put_number(char* out, uint64_t value, const unsigned base, const int width) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = "0123456789ABCDEF"[value % base];
        value /= base;
    } while (value != 0);
    for (int pad = width - n; pad > 0; --pad) *out++ = '0';
    while (n > 0) *out++ = digits[--n];
    return out;
}

// "%06i %08X %08X\n" for every record: its position, where its chunk lies in the loaded
// gathered text (every significant digit of the address), and the chunk's length.
static void print_chunk_lines(const unsigned char* gathered, const unsigned char* index,
                              const uint64_t n) {
    static char lines[size_t{64} << 10];
    constexpr size_t LONGEST = 20 + 1 + 16 + 1 + 8 + 1;
    char* end = lines;
    const unsigned char* cursor = gathered;
    for (uint64_t i = 0; i < n; ++i) {
        const uint32_t len = chunk_length(index_record(index, i), i, n);
        end = put_number(end, i, 10, 6);
        *end++ = ' ';
        end = put_number(end, reinterpret_cast<uintptr_t>(cursor), 16, 8);
        *end++ = ' ';
        end = put_number(end, len, 16, 8);
        *end++ = '\n';
        if (end + LONGEST > lines + sizeof lines) {
            print_bytes(lines, static_cast<size_t>(end - lines));
            end = lines;
        }
        cursor += len;
    }
    print_bytes(lines, static_cast<size_t>(end - lines));
}

int main() {
    cli_program = "scatter_arts";
    loaded_inputs in{};
    if (const int status = load_inputs(GATHERED_FILE, &in)) return status;

    const index_breach breach = check_scatter_index(in.index, in.n, in.text_size);
    out_file* scattered = nullptr;
    if (const int status = open_output(SCATTERED_FILE, GATHERED_FILE, in, breach, &scattered))
        return status;

    print_chunk_lines(in.text, in.index, in.n);
    file_sink sink(scattered);
    return finish_run(scattered, SCATTERED_FILE, scatter_chunks(in.text, in.index, in.n, sink));
}
