// Where gather and scatter send chunks: an output file, or memory in tests.
#ifndef ART_CHUNK_SINK_H
#define ART_CHUNK_SINK_H

#include "sys_io.h"

struct chunk_sink {
    // Writes the pieces back to back after everything appended so far.
    virtual int append(const io_piece* pieces, size_t count) = 0;
    // Writes the pieces back to back from offset; a gap past the end reads as zeros.
    virtual int write_at(uint64_t offset, const io_piece* pieces, size_t count) = 0;

protected:
    ~chunk_sink() = default;
};

struct file_sink final : chunk_sink {
    explicit file_sink(out_file* f) : file(f) {}
    int append(const io_piece* pieces, size_t count) override {
        return out_append(file, pieces, count);
    }
    int write_at(uint64_t offset, const io_piece* pieces, size_t count) override {
        return out_write_at(file, offset, pieces, count);
    }
    out_file* const file;
};

#endif
