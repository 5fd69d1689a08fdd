#include "chunk_copy.h"

#include "art_index.h"
#include "block_writer.h"
#include "copy_parts.h"
#include "window_scatter.h"

#include <cstdint>
#include <vector>

namespace art {

namespace {

// Where a chunk goes in the output, and where it comes from in the input.
struct piece {
    uint64_t to;
    uint64_t from;
};

// Sends the chunk of every record, in index order, from in to the output through the
// stage of its part (see staged_output::put_chunks for piece_of and prefetch_starts).
template <typename PieceOf>
art_status stage_parts(const loaded_file& in, const loaded_file& index, chunk_sink& out, const copy_limits& limits,
                       bool prefetch_starts, PieceOf&& piece_of);

}  // namespace

copy_limits machine_limits() {
    const thread_limits machine = machine_threads();
    copy_limits limits;
    limits.threads = machine.threads;
    limits.part_min = machine.part_min;
    return limits;
}

art_status gather_chunks(const loaded_file& text, const loaded_file& index, chunk_sink& out,
                         const copy_limits& limits) {
    return stage_parts(text, index, out, limits, true, [](const chunk_cursor& c) {
        return piece{c.gathered_offset(), c.record().start};
    });
}

art_status scatter_chunks(const loaded_file& gathered, const loaded_file& index, chunk_sink& out,
                          const copy_limits& limits) {
    // In order while every chunk starts at or past the end of the one before; the first
    // that does not ends this pass, and the windows' own pass takes over.
    const uint64_t n = record_count(index.size);
    chunk_cursor at(index.data, n);
    for (uint64_t end = 0; !at.done(); at.next()) {
        if (at.length() == 0) continue;
        if (!chunk_inside(at, at.gathered_offset(), gathered.size)) return index_changed(index);
        if (at.record().start < end) break;
        end = at.record().start + at.length();
    }
    if (!at.done()) return scatter_windows(gathered, index, out, limits);
    return stage_parts(gathered, index, out, limits, false, [](const chunk_cursor& c) {
        return piece{c.record().start, c.gathered_offset()};
    });
}

namespace {

// Sends pieces of one input to the output in the order given, through a block writer. A
// piece that continues the previous one in both the input and the output extends it into
// a run, which is put into the stage once the next piece does not continue it: a run of
// copy_min bytes or more read through the input's file, a shorter one copied from the
// input's mapping.
class staged_output {
public:
    staged_output(shared_copy& shared, chunk_sink& out, const copy_limits& limits)
        : shared_(shared), in_(shared.input()), limits_(limits), writer_(out, limits.stage_size) {}

    // Puts the chunk of every record from c up to position stop: piece_of(c) gives where
    // it goes in the output and where it comes from in the input. With prefetch_starts,
    // the input is asked ahead for the pieces at the records' starts (gather's reads in no
    // order).
    template <typename PieceOf>
    art_status put_chunks(chunk_cursor c, uint64_t stop, const loaded_file& index, bool prefetch_starts,
                          PieceOf&& piece_of);

    // Puts the pending run and writes what the stage holds.
    art_status finish() {
        if (const art_status s = put_run(); !s.ok()) return s;
        return writer_.write_filled();
    }

private:
    art_status put_run();

    shared_copy& shared_;
    const loaded_file& in_;
    const copy_limits& limits_;
    block_writer writer_;
    bool prepared_ = false;  // whether the input is ready for reads in no order
    // The pending run: where it goes in the output, where it comes from, its length.
    uint64_t run_to_ = 0, run_from_ = 0, run_size_ = 0;
};

// Where each part of about equal work begins among n records: as many parts as the work
// is worth, at most limits.threads; one for an output written in order. bytes is about
// what the chunks hold (the input's size); the parts are split by what they really hold.
std::vector<chunk_cursor> split_records(const unsigned char* index, const uint64_t n, const uint64_t bytes,
                                        const chunk_sink& out, const copy_limits& limits) {
    const uint64_t work = bytes + RECORD_WEIGHT * n;
    const size_t parts = out.in_order() ? 1 : copy_parts_for(work, limits);
    std::vector<chunk_cursor> starts{chunk_cursor(index, n)};
    uint64_t done = 0;
    for (chunk_cursor at(index, n); !at.done() && starts.size() < parts; at.next()) {
        if (done >= work * starts.size() / parts && at.position() > starts.back().position()) starts.push_back(at);
        done += at.length() + RECORD_WEIGHT;
    }
    return starts;
}

template <typename PieceOf>
art_status stage_parts(const loaded_file& in, const loaded_file& index, chunk_sink& out, const copy_limits& limits,
                       const bool prefetch_starts, PieceOf&& piece_of) {
    shared_copy shared(in, out, limits);
    const uint64_t n = record_count(index.size);
    const std::vector<chunk_cursor> starts = split_records(index.data, n, in.size, out, limits);
    return shared.run(starts.size(), [&](const size_t k) {
        part_sink sink(shared, out, k);
        staged_output staged(shared, sink, limits);
        const uint64_t stop = k + 1 < starts.size() ? starts[k + 1].position() : n;
        if (const art_status s = staged.put_chunks(starts[k], stop, index, prefetch_starts, piece_of); !s.ok()) return s;
        return staged.finish();
    });
}

// The pending run and the stage's fill stay in locals across the common case, a short
// run copied from the ready mapping to where the stage's filled part ends; every other
// case goes through put_run.
template <typename PieceOf>
art_status staged_output::put_chunks(chunk_cursor c, const uint64_t stop, const loaded_file& index,
                                     const bool prefetch_starts, PieceOf&& piece_of) {
    const unsigned char* const data = in_.data;
    const uint64_t size = in_.size, copy_min = limits_.copy_min, room = writer_.block_size();
    unsigned char* const stage = writer_.stage();
    uint64_t run_to = run_to_, run_from = run_from_, run_size = run_size_, block = writer_.block();
    size_t end = writer_.end();
    bool prepared = prepared_;
    const auto save = [&] {
        run_to_ = run_to;
        run_from_ = run_from;
        run_size_ = run_size;
        writer_.set_end(end);
    };
    for (; c.position() < stop; c.next()) {
        if (prefetch_starts && c.position() + PREFETCH_AHEAD < stop)
            prefetch(data + index_record(index.data, c.position() + PREFETCH_AHEAD).start);
        if (c.length() == 0) continue;
        const piece p = piece_of(c);
        if (!chunk_inside(c, p.from, size)) {
            save();
            return index_changed(index);
        }
        if (run_size > 0 && p.to == run_to + run_size && p.from == run_from + run_size) {
            run_size += c.length();
            continue;
        }
        if (likely(prepared & (run_size < copy_min) & (run_to == block + end) & (run_size < room - end))) {
            copy_bytes(stage + end, data + run_from, static_cast<size_t>(run_size));
            end += static_cast<size_t>(run_size);
        } else {
            save();
            if (const art_status s = put_run(); !s.ok()) return s;
            block = writer_.block();
            end = writer_.end();
            prepared = prepared_;
        }
        run_to = p.to;
        run_from = p.from;
        run_size = c.length();
    }
    save();
    return ART_OK;
}

art_status staged_output::put_run() {
    const uint64_t from = run_from_, size = run_size_;
    run_size_ = 0;
    if (size == 0) return ART_OK;
    if (size >= limits_.copy_min) {
        return writer_.put(run_to_, size, [&](unsigned char* dst, const uint64_t done, const size_t part) {
            return read_loaded(in_, from + done, dst, part);
        });
    }
    if (!prepared_) {
        shared_.prepare();
        prepared_ = true;
    }
    return writer_.put(run_to_, size, [&](unsigned char* dst, const uint64_t done, const size_t part) {
        copy_bytes(dst, in_.data + from + done, part);
        return ART_OK;
    });
}

}  // namespace

}  // namespace art
