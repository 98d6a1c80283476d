#include "spdy/spdy_dictionary.h"

#include <zlib.h>

// The draft-2 header dictionary; the terminating NUL of the literal is part of it.
const char kSpdyDictionary[kSpdyDictionarySize] =
    "optionsgetheadpostputdeletetraceacceptaccept-charsetaccept-encodingaccept-langua"
    "geauthorizationexpectfromhostif-modified-sinceif-matchif-none-matchif-rangeif-un"
    "modifiedsincemax-forwardsproxy-authorizationrangerefererteuser-agent100101200201"
    "20220320420520630030130230330430530630740040140240340440540640740840941041141241"
    "3414415416417500501502503504505accept-rangesageetaglocationproxy-authenticatepub"
    "licretry-afterservervarywarningwww-authenticateallowcontent-basecontent-encoding"
    "cache-controlconnectiondatetrailertransfer-encodingupgradeviawarningcontent-lang"
    "uagecontent-lengthcontent-locationcontent-md5content-rangecontent-typeetagexpire"
    "slast-modifiedset-cookieMondayTuesdayWednesdayThursdayFridaySaturdaySundayJanFeb"
    "MarAprMayJunJulAugSepOctNovDecchunkedtext/htmlimage/pngimage/jpgimage/gifapplica"
    "tion/xmlapplication/xhtmltext/plainpublicmax-agecharset=iso-8859-1utf-8gzipdefla"
    "teHTTP/1.1statusversionurl";

uint32_t SpdyDictionaryId() {
  static const uint32_t id = static_cast<uint32_t>(
      adler32(adler32(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(kSpdyDictionary),
              kSpdyDictionarySize));
  return id;
}
