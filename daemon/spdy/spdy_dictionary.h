#ifndef DAEMON_SPDY_SPDY_DICTIONARY_H
#define DAEMON_SPDY_SPDY_DICTIONARY_H

#include <stddef.h>
#include <stdint.h>

// Preset dictionary of SPDY/2 header blocks: 906 characters and a NUL, all 907 bytes in use.
const size_t kSpdyDictionarySize = 907;
extern const char kSpdyDictionary[kSpdyDictionarySize];

// Adler-32 of the dictionary, the id a compressed header block asks for. Computed once.
uint32_t SpdyDictionaryId();

#endif  // DAEMON_SPDY_SPDY_DICTIONARY_H
