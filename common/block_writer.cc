#include "block_writer.h"

#include <cstring>

namespace art {

block_writer::block_writer(chunk_sink& out, const size_t block_size, const size_t spare)
    : out_(out), block_size_(block_size), stage_(new unsigned char[block_size + spare]) {}

art_status block_writer::append(const unsigned char* data, const size_t size) {
    return put(block_ + end_, size, [data](unsigned char* dst, const uint64_t done, const size_t part) {
        std::memcpy(dst, data + done, part);
        return ART_OK;
    });
}

art_status block_writer::filled(const size_t size) {
    end_ += size;
    while (end_ >= block_size_) {
        const size_t past = end_ - block_size_;
        end_ = block_size_;
        if (const art_status s = write_filled(); !s.ok()) return s;
        std::memmove(stage_.get(), stage_.get() + block_size_, past);
        end_ = past;
    }
    return ART_OK;
}

art_status block_writer::write_filled() {
    if (end_ == begin_) return ART_OK;
    const uint64_t at = block_ + begin_;
    const size_t begin = begin_, size = end_ - begin_;
    // A whole block moves the stage on to the next one, where appends continue.
    if (end_ == block_size_) {
        block_ += block_size_;
        begin_ = end_ = 0;
    } else {
        begin_ = end_;
    }
    return out_.write(at, stage_.get() + begin, size);
}

}  // namespace art
