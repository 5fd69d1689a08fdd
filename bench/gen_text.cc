// gen_text: writes a deterministic English-like text whose articles end with 0x01.
// Shape "enwik" (the default): a third of the articles are short (40 to 160 bytes); the
// rest have log-normal lengths with a median near 3 KB and a mean near 6 KB, capped at
// 512 KiB. Shape "short": sentence-sized articles, lengths geometric with a mean of 40
// bytes with its delimiter (empty ones included). Shape "topics": articles of 300 to 3,000
// bytes, each of the words of one of 8 made-up vocabularies of 200 words, chosen at
// random: a text whose order groups nothing, which ordering by content can.
//
//   gen_text OUTPUT [SIZE_BYTES=1000000000] [SEED=1] [SHAPE=enwik|short|topics]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

static const char* const WORDS[] = {
    "the", "of", "and", "in", "to", "was", "is", "for", "on", "as", "by", "with", "he",
    "that", "at", "from", "his", "it", "an", "were", "are", "which", "this", "also", "be",
    "or", "first", "had", "new", "its", "has", "one", "their", "after", "they", "not",
    "who", "two", "been", "other", "city", "her", "she", "all", "there", "during", "into",
    "school", "time", "may", "years", "more", "most", "only", "over", "world", "when",
    "between", "year", "later", "would", "united", "national", "some", "under", "where",
    "many", "such", "born", "second", "him", "several", "state", "university", "states",
    "then", "film", "these", "both", "than", "known", "until", "history", "three", "game",
    "season", "river", "church", "population", "south", "north", "village", "album",
    "released", "district", "county", "series", "team", "war", "music", "government",
    "american", "including", "public", "league", "published", "became", "station",
    "football", "early", "number", "family", "found", "small", "following", "area",
    "near", "along", "century", "record", "named", "Wikipedia", "article", "London",
    "1990", "2004", "[[link]]", "{{cite}}", "&amp;", "'''bold'''", "==History==",
};
static const size_t WORD_COUNT = sizeof WORDS / sizeof WORDS[0];

static uint64_t enwik_length(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    if (unit(rng) < 1.0 / 3.0) return 40 + rng() % 121;
    // Box-Muller, so the lengths do not depend on the library's normal distribution.
    const double u1 = 1.0 - unit(rng);
    const double u2 = unit(rng);
    const double z = std::sqrt(-2.0 * std::log(u1)) * std::cos(6.283185307179586 * u2);
    const double sigma = std::sqrt(2.0 * std::log(2.0));  // mean = 2 x median
    const double len = 3000.0 * std::exp(sigma * z);
    return static_cast<uint64_t>(len < 40.0 ? 40.0 : len > 524288.0 ? 524288.0 : len);
}

// Geometric on 0, 1, 2, ... with mean 39: the failures before a 1-in-40 success.
static uint64_t short_length(std::mt19937_64& rng) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    return static_cast<uint64_t>(std::log(1.0 - unit(rng)) / std::log(39.0 / 40.0));
}

// Appends an article of about len bytes: words, sentences, line breaks, blank lines.
static void append_article(std::string& out, const uint64_t len, std::mt19937_64& rng) {
    const size_t stop = out.size() + len;
    unsigned words_on_line = 0;
    while (out.size() < stop) {
        out += WORDS[rng() % WORD_COUNT];
        const uint64_t r = rng() % 100;
        if (++words_on_line > 12 && r < 12) {
            out += r < 3 ? ".\n\n" : ".\n";
            words_on_line = 0;
        } else {
            out += r < 8 ? ", " : r < 14 ? ". " : " ";
        }
    }
    out.resize(stop);
}

// 8 vocabularies of 200 made-up words each, none in two.
static std::vector<std::vector<std::string>> topic_words(std::mt19937_64& rng) {
    std::vector<std::vector<std::string>> topics(8);
    for (size_t t = 0; t < topics.size(); ++t)
        for (int w = 0; w < 200; ++w) {
            std::string word(1, char('A' + t));
            for (uint64_t k = 2 + rng() % 8; k > 0; --k) word += char('a' + rng() % 26);
            topics[t].push_back(word);
        }
    return topics;
}

static void append_topic_article(std::string& out, const std::vector<std::string>& words, std::mt19937_64& rng) {
    const size_t stop = out.size() + 300 + rng() % 2701;
    while (out.size() < stop) out += words[rng() % words.size()] + (rng() % 10 == 0 ? ".\n" : " ");
    out.resize(stop);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: gen_text OUTPUT [SIZE_BYTES] [SEED] [enwik|short|topics]\n");
        return 2;
    }
    const uint64_t size = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000000u;
    std::mt19937_64 rng(argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1);
    const std::string shape = argc > 4 ? argv[4] : "enwik";
    const bool short_articles = shape == "short";
    std::mt19937_64 topic_rng(99);  // its own, so that the other shapes stay as they were
    const std::vector<std::vector<std::string>> topics = topic_words(topic_rng);
    FILE* const out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::string block;
    uint64_t written = 0;
    while (written < size) {
        block.clear();
        while (block.size() < (1u << 20) && written + block.size() < size) {
            if (shape == "topics")
                append_topic_article(block, topics[rng() % topics.size()], rng);
            else
                append_article(block, short_articles ? short_length(rng) : enwik_length(rng), rng);
            block += '\x01';
        }
        if (written + block.size() > size) block.resize(static_cast<size_t>(size - written));
        if (std::fwrite(block.data(), 1, block.size(), out) != block.size()) break;
        written += block.size();
    }
    if (std::fclose(out) != 0 || written != size) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
