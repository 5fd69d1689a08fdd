// Stage 3 of the ordering: the candidate orders that the judge weighs. Each holds every
// record once, the last record last, and is the same on any number of threads.
#ifndef ART_ORDER_ORDERS_H
#define ART_ORDER_ORDERS_H

#include "order/candidates.h"
#include "order/records.h"

namespace art::ordering {

// The records by their first LEADING_BYTES bytes (features.h), ties by their place in
// base where base is not empty (chains, for instance), else by record number.
void leading_order(const records& r, const record_order& base, record_order& order);

// How chains are laid out one after another.
enum class chain_layout {
    by_start,    // by their least record number
    by_text,     // by their first byte in the text
    by_leading,  // by the leading bytes of their first record, each from its end that sorts first
};

// The chains laid out one after another. by_start and by_text lay each in the direction
// that has more records right after the one before them in the text, then in the start
// order, else from its lower end; the chain of the last record goes last, it last.
void chain_order(const records& r, const chains& c, chain_layout layout, record_order& order);

// base, its records grouped by their first group_bytes bytes (1 to 8), the groups in the
// order of those bytes, base's order kept within each group: groups of like beginnings,
// ordered inside by what base says (chains, for instance).
void leading_groups(const records& r, const record_order& base, unsigned group_bytes, record_order& order);

}  // namespace art::ordering

#endif
