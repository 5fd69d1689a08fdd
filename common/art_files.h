// The suite's fixed file names, relative to the working directory.
#ifndef ART_FILES_H
#define ART_FILES_H

namespace art {

constexpr const char* TEXT_FILE = "enwik_text2_vok";
constexpr const char* INDEX_FILE = "enwik_art_idx";
constexpr const char* GATHERED_FILE = "enwik_text2_vok_r";
constexpr const char* SCATTERED_FILE = "enwik_text2_vok_u";

}  // namespace art

#endif
