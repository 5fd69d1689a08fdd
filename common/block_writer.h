// The one writer of outputs in aligned blocks: bytes are put into a stage that covers
// one block of the output, aligned to the block's size, and go out to a chunk_sink in
// whole blocks; a block goes out in part only where the bytes put next are elsewhere in
// the output, or at the end.
#ifndef ART_BLOCK_WRITER_H
#define ART_BLOCK_WRITER_H

#include "platform/sys_io.h"
#include "chunk_sink.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace art {

class block_writer {
public:
    // A stage of block_size bytes, and spare bytes past it for a filler that writes
    // straight into the stage and may run past the block's end (filled).
    explicit block_writer(chunk_sink& out, size_t block_size = ART_BLOCK_SIZE, size_t spare = 0);

    size_t block_size() const { return block_size_; }

    // Puts size bytes for the output at offset at: fill(dst, done, part) writes part of
    // them, from the done-th on, to dst, and returns a status; it is called once for each
    // block that they fall in, and its failure ends the put. A block that they fill to its
    // end goes out; the filled part of the stage goes out first where they do not continue
    // it.
    template <typename Fill>
    art_status put(uint64_t at, uint64_t size, Fill&& fill);

    // Puts size bytes from data where the filled part ends, in the stage and the output.
    art_status append(const unsigned char* data, size_t size);

    // For a filler that writes into the stage itself: where the filled part ends, which
    // has room for the rest of the block and the spare bytes.
    unsigned char* fill_end() { return stage_.get() + end_; }
    // size bytes were written at fill_end(): every whole block goes out, and what runs
    // past it moves to the front of the stage, to begin the next block.
    art_status filled(size_t size);

    // Writes the filled part of the stage, if any.
    art_status write_filled();

    // For a copy loop that keeps the fill in locals between calls: the stage, which holds
    // the output from offset block() on, filled up to end(); set_end(e) says that the
    // loop filled it on to e, at most block_size().
    unsigned char* stage() { return stage_.get(); }
    uint64_t block() const { return block_; }
    size_t end() const { return end_; }
    void set_end(const size_t end) { end_ = end; }

private:
    chunk_sink& out_;
    const size_t block_size_;
    const std::unique_ptr<unsigned char[]> stage_;
    uint64_t block_ = 0;          // the output offset of the stage's first byte, a multiple of block_size_
    size_t begin_ = 0, end_ = 0;  // the part of the stage filled
};

template <typename Fill>
art_status block_writer::put(uint64_t at, uint64_t size, Fill&& fill) {
    for (uint64_t done = 0; done < size;) {
        if (end_ > begin_ && at != block_ + end_) {
            if (const art_status s = write_filled(); !s.ok()) return s;
        }
        if (end_ == begin_) {
            block_ = at - at % block_size_;
            begin_ = end_ = static_cast<size_t>(at - block_);
        }
        const size_t part = static_cast<size_t>(std::min<uint64_t>(size - done, block_size_ - end_));
        if (const art_status s = fill(stage_.get() + end_, done, part); !s.ok()) return s;
        end_ += part;
        at += part;
        done += part;
        if (end_ == block_size_) {
            if (const art_status s = write_filled(); !s.ok()) return s;
        }
    }
    return ART_OK;
}

}  // namespace art

#endif
