// Failures that the library reports to its callers: an errno value, or one of the
// library's own codes below (all negative). 0 means success.
#ifndef ART_ERROR_H
#define ART_ERROR_H

enum : int {
    ART_E_TOO_LARGE = -1,    // a text or file of ART_TEXT_LIMIT bytes or more
    ART_E_SHORT_READ = -2,   // a file ended before the size it had when opened
    ART_E_NOT_REGULAR = -3,  // an input whose size cannot be known (a pipe or device)
    ART_E_GREW = -4,         // a file grew past the size it had when opened
};

// A one-line description of code, for diagnostics; a constant text for the library's
// own codes, so that a signal handler may ask for one.
const char* art_strerror(int code);

#endif
