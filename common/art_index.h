// The article index: the delimiter rule of the text, the 8-byte record, and the
// chunk rule by which a record becomes a run of bytes.
#ifndef ART_INDEX_H
#define ART_INDEX_H

#include <cstdint>
#include <cstring>

// Every byte of this value ends an article; the last article ends at the end of the text.
constexpr unsigned char ART_DELIMITER = 0x01;

// Texts of this many bytes or more cannot be described by the 32-bit offsets of a record.
constexpr uint64_t ART_TEXT_LIMIT = uint64_t{1} << 32;

// The byte range of one article: text[start, end); `end` is the offset of the closing
// delimiter, or the size of the text for its last article.
struct art_record {
    uint32_t start;
    uint32_t end;
};

constexpr unsigned ART_RECORD_SIZE = 8;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool ART_HOST_LITTLE_ENDIAN = true;
#else
constexpr bool ART_HOST_LITTLE_ENDIAN = false;
#endif

// Stores v as 4 bytes, little-endian whatever the host: a plain copy where the host's
// own order is little-endian, explicit shifts elsewhere.
inline void encode_fixed32(unsigned char* out, const uint32_t v) {
    if (ART_HOST_LITTLE_ENDIAN) {
        std::memcpy(out, &v, 4);
        return;
    }
    out[0] = static_cast<unsigned char>(v);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v >> 16);
    out[3] = static_cast<unsigned char>(v >> 24);
}

inline uint32_t decode_fixed32(const unsigned char* in) {
    if (ART_HOST_LITTLE_ENDIAN) {
        uint32_t v;
        std::memcpy(&v, in, 4);
        return v;
    }
    return uint32_t{in[0]} | uint32_t{in[1]} << 8 | uint32_t{in[2]} << 16 | uint32_t{in[3]} << 24;
}

// Stores r as 8 bytes: start then end, each little-endian.
inline void encode_record(const art_record r, unsigned char* out) {
    encode_fixed32(out, r.start);
    encode_fixed32(out + 4, r.end);
}

// Reads the record that encode_record stored at in[0..7].
inline art_record decode_record(const unsigned char* in) {
    return {decode_fixed32(in), decode_fixed32(in + 4)};
}

// Record i of an index held whole in memory; i must be below record_count of its size.
inline art_record index_record(const unsigned char* index, const uint64_t i) {
    return decode_record(index + ART_RECORD_SIZE * i);
}

// Number of whole records in an index of index_size bytes; 1 to 7 trailing bytes are ignored.
inline uint64_t record_count(const uint64_t index_size) { return index_size >> 3; }

// Length of record i's chunk among n records in 64 bits, exactly: end - start, plus one
// delimiter byte unless i is the last position. Meaningful only when start <= end.
inline uint64_t exact_chunk_length(const art_record r, const uint64_t i, const uint64_t n) {
    return uint64_t{r.end} - r.start + (i + 1 < n ? 1 : 0);
}

// The index format's chunk length: exact_chunk_length in unsigned 32-bit arithmetic, so
// it wraps when start > end, or for a 2^32 - 1 byte article that is not last.
inline uint32_t chunk_length(const art_record r, const uint64_t i, const uint64_t n) {
    return static_cast<uint32_t>(exact_chunk_length(r, i, n));
}

// The walk over an index's chunks in index order, as the gathered text holds them:
// chunk i begins where chunk i - 1 ended. For record i it gives the record, its exact
// chunk length and gathered_offset(), the chunk's offset in the gathered text (the
// lengths of chunks 0 to i - 1, summed in 64 bits): where gather writes it, and where
// scatter reads it.
//     for (chunk_cursor c(index, n); !c.done(); c.next()) ...
class chunk_cursor {
public:
    chunk_cursor(const unsigned char* index, const uint64_t n) : index_(index), n_(n) { load(); }
    // The same walk taken up at record position (at most n), whose chunk begins at
    // gathered_offset in the gathered text.
    chunk_cursor(const unsigned char* index, const uint64_t n, const uint64_t position, const uint64_t gathered_offset)
        : index_(index), n_(n), i_(position), gathered_offset_(gathered_offset) {
        load();
    }

    bool done() const { return i_ >= n_; }
    void next() {
        gathered_offset_ += length_;
        ++i_;
        load();
    }

    uint64_t position() const { return i_; }
    art_record record() const { return record_; }
    uint64_t length() const { return length_; }
    uint64_t gathered_offset() const { return gathered_offset_; }
    // gathered_offset() by the name that tools built against version 1.0 call it.
    uint64_t source() const { return gathered_offset(); }

private:
    void load() {
        if (done()) return;
        record_ = index_record(index_, i_);
        length_ = exact_chunk_length(record_, i_, n_);
    }

    const unsigned char* index_;
    uint64_t n_;
    uint64_t i_ = 0;
    uint64_t gathered_offset_ = 0;
    art_record record_{0, 0};
    uint64_t length_ = 0;
};

// The lengths of the chunks of records [first, last) of n, summed in 64 bits as
// chunk_cursor sums them (wrapping alike): where chunk last begins, past where chunk
// first begins.
inline uint64_t chunks_length(const unsigned char* index, const uint64_t n, const uint64_t first,
                              const uint64_t last) {
    uint64_t sum = 0;
    for (uint64_t i = first; i < last; ++i) {
        const art_record r = index_record(index, i);
        sum += uint64_t{r.end} - r.start;
    }
    return sum + (last - first) - (last == n && last > first ? 1 : 0);
}

#endif
