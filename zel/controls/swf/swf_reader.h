// The Flash movie header reader behind read_swf_header (zel/controls/swf_header.h).
//
// Implements:
//  [x] FWS: the body's first bytes read as they are;
//  [x] CWS: inflateInit / inflate / inflateEnd (zlib), fed from byte 8, the output length
//      checked against what the header needs;
//  [x] ZWS: the 4-byte compressed length and 5 LZMA property bytes, then raw LZMA1 through
//      lzma_raw_decoder (a small dictionary: only the first bytes are decoded), input limited
//      to the stated compressed length;
//  [x] every read checked: a short file, an unknown signature or a body too short for the RECT,
//      rate and frame count fail with a reason;
//  [x] the RECT's signed Nbits-bit fields (Nbits up to 31) read without overflow.
#pragma once
#include "zel/controls/swf_header.h"
