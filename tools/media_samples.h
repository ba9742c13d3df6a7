// Small real media files, made by code: the examples' media and the tests' samples.
//
// Each function gives the whole file's bytes. The files are real: the images decode and
// display, the audio decodes (as silence or a tone), and the containers carry the headers a
// content sniffer reads, so their type is recognised from their bytes alone. The movie
// containers hold no playable frames. Every function is pure and may be called from any
// thread.
#pragma once

#include <string>

namespace corvanta::media {

std::string png();    // 64x64 RGB colour gradient, stored (uncompressed) deflate blocks
std::string jpeg();   // 64x64 greyscale gradient, baseline DCT
std::string gif();    // 64x64, two frames that loop
std::string mp3();    // MPEG-1 Layer III, one second of silence, 32 kbps mono 48 kHz
std::string wav();    // 16-bit PCM mono 8 kHz, a quarter second of a 440 Hz tone
std::string aiff();   // the same tone, big-endian AIFF
std::string m4a();    // MPEG-4 audio container: ftyp brand "M4A ", moov, mdat
std::string mp4();    // MPEG-4 video container: ftyp brand "isom", moov with a video track
std::string mpeg();   // MPEG-1 system stream: pack header, video sequence header
std::string mpeg2();  // MPEG-2 program stream: pack header, video sequence header
std::string avi();    // RIFF AVI with hdrl, one video stream, an empty movi list
std::string bmp();    // a 2x2 bitmap: a real image of a type attachments do not take

}  // namespace corvanta::media
