// Moving chunks: gather writes them in index order, scatter puts them back at their
// offsets. Both require the index to have passed its check (index_check.h) and return
// 0 or the sink's failure.
#ifndef ART_CHUNK_COPY_H
#define ART_CHUNK_COPY_H

#include "chunk_sink.h"

#include <cstdint>

// Appends the chunk of each record 0 to n - 1 of index, taken from text, in that order.
int gather_chunks(const unsigned char* text, const unsigned char* index, uint64_t n,
                  chunk_sink& out);

// Takes the chunks of records 0 to n - 1 from gathered, back to back, and writes each at
// its record's start; where chunks overlap, the later record wins.
int scatter_chunks(const unsigned char* gathered, const unsigned char* index, uint64_t n,
                   chunk_sink& out);

#endif
