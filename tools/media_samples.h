// Small real media files, made by code: the examples' media and the tests' samples.
//
// Each function gives the whole file's bytes. The files are real: the images decode and
// display, the audio decodes (as silence or a tone), and the containers carry the headers a
// content sniffer reads, so their type is recognised from their bytes alone. The movie
// containers hold no playable frames. Every function is pure and may be called from any
// thread.
#pragma once

#include <string>
#include <string_view>

namespace corvanta::media {

std::string png(int side = 64);  // side x side RGB colour gradient, stored deflate blocks
std::string jpeg();              // 64x64 greyscale gradient, baseline DCT
std::string gif();               // 64x64, two frames that loop
std::string mp3();               // MPEG-1 Layer III, one second of silence, 32 kbps mono 48 kHz
// mp3() behind an ID3v2.4 tag whose APIC frame holds png(coverSide) as the cover art, with
// the tag's footer when `footer`.
std::string mp3WithCoverArt(int coverSide, bool footer = false);
std::string mp2();   // MPEG-1 Layer II, one second of silence, 32 kbps mono 48 kHz
std::string wav();   // 16-bit PCM mono 8 kHz, a quarter second of a 440 Hz tone
std::string aiff();  // the same tone, big-endian AIFF
std::string aifc();  // the same tone, AIFF-C with compression type NONE
// MPEG-4 containers, ftyp then moov then mdat, under the given major brand: audio with a
// sound track ("M4A " as an audio encoder writes it; "isom" or "mp42" as a generic muxer
// does), video with a video track ("M4V " for .m4v files).
std::string m4a(std::string_view brand = "M4A ");
std::string mp4(std::string_view brand = "isom");
std::string mpeg();   // MPEG-1 system stream: pack header, video sequence header
std::string mpeg2();  // MPEG-2 program stream: pack header, video sequence header
std::string avi();    // RIFF AVI with hdrl, one video stream, an empty movi list
std::string bmp();    // a 2x2 bitmap: a real image of a type attachments do not take

}  // namespace corvanta::media
