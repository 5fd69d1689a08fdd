#include "index_check.h"

#include <cinttypes>
#include <cstdio>

index_breach check_gather_index(const unsigned char* index, const uint64_t n, const uint64_t text_size) {
    for (chunk_cursor c(index, n); !c.done(); c.next())
        if (const breach_kind kind = gather_breach(c.record(), c.length(), text_size); kind != breach_kind::none)
            return {kind, c.position(), c.record()};
    return {breach_kind::none, 0, {0, 0}};
}

index_breach check_scatter_index(const unsigned char* index, const uint64_t n, const uint64_t gathered_size) {
    for (chunk_cursor c(index, n); !c.done(); c.next()) {
        const art_record r = c.record();
        if (r.start > r.end) return {breach_kind::start_after_end, c.position(), r};
        if (c.gathered_offset() + c.length() > gathered_size) return {breach_kind::past_end, c.position(), r};
    }
    return {breach_kind::none, 0, {0, 0}};
}

std::string describe_breach(const index_breach& b, const char* source, const uint64_t source_size) {
    char line[256];
    const int head = std::snprintf(line, sizeof line, "record %" PRIu64 " (start %" PRIu32
                                   ", end %" PRIu32 "): ", b.position, b.record.start, b.record.end);
    const size_t used = head > 0 ? static_cast<size_t>(head) : 0;
    if (b.kind == breach_kind::start_after_end)
        std::snprintf(line + used, sizeof line - used, "start is past end");
    else
        std::snprintf(line + used, sizeof line - used,
                      "chunk runs past the end of %s (%" PRIu64 " bytes)", source, source_size);
    return line;
}
